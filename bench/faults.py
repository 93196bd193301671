#!/usr/bin/env python3
"""Mixed load against a running kavara-server while the services are stopped, stalled and killed.

Run by bench/faults.sh, which starts the server and performs each fault (`faults.sh fault NAME`
returns when the fault is over). Prints one table row per phase: answers by status, the longest
answer, the time from the fault's end until every answer is normal again, and the wrong tiles
among a sample compared with the tile statement run directly in PostgreSQL.
"""

import argparse
import http.client
import json
import math
import random
import subprocess
import sys
import threading
import time

ORIGIN_SHIFT = 6378137.0 * math.pi
# A tile is normal when it is answered with one of these within this long; a stalled Redis may
# add 250 ms to the few milliseconds a tile takes.
NORMAL = {"tile": ({200, 204}, 0.5), "bbox": ({200, 204}, 0.5), "centroid": ({200}, 0.5),
          "plan": ({200}, 5.0)}
SPECIFIED = {200, 204, 400, 404, 408, 422, 429, 500, 503}
SAMPLE_PER_PHASE = 40


def tile_bounds(z, x, y):
    size = 2.0 * ORIGIN_SHIFT / math.ldexp(1.0, z)
    return (-ORIGIN_SHIFT + x * size, ORIGIN_SHIFT - (y + 1) * size,
            -ORIGIN_SHIFT + (x + 1) * size, ORIGIN_SHIFT - y * size)


def tile_of(mx, my, z):
    size = 2.0 * ORIGIN_SHIFT / math.ldexp(1.0, z)
    return int((mx + ORIGIN_SHIFT) // size), int((ORIGIN_SHIFT - my) // size)


def mercator_to_degrees(mx, my):
    lon = mx / ORIGIN_SHIFT * 180.0
    lat = math.degrees(2.0 * math.atan(math.exp(my / 6378137.0)) - math.pi / 2.0)
    return lon, lat


class Recorder:
    def __init__(self):
        self.lock = threading.Lock()
        self.answers = []  # (kind, start, end, status)
        self.samples = []  # (phase, z, x, y, status, body)
        self.phase = "warm-up"

    def add(self, kind, start, end, status):
        with self.lock:
            self.answers.append((kind, start, end, status))

    def sample(self, z, x, y, status, body):
        with self.lock:
            taken = sum(1 for s in self.samples if s[0] == self.phase)
            if taken < SAMPLE_PER_PHASE:
                self.samples.append((self.phase, z, x, y, status, body))


class Load:
    def __init__(self, args, extent, plot_ids, recorder):
        self.args = args
        self.extent = extent
        self.plot_ids = plot_ids
        self.recorder = recorder
        self.stop = threading.Event()
        self.cached = self.tiles_near_centre(16, 6)

    def tiles_near_centre(self, z, n):
        cx = (self.extent[0] + self.extent[2]) / 2
        cy = (self.extent[1] + self.extent[3]) / 2
        x0, y0 = tile_of(cx, cy, z)
        return [(z, x0 + dx, y0 + dy) for dx in range(-n // 2, n // 2) for dy in range(-n // 2, n // 2)]

    def random_point(self, rng):
        return (rng.uniform(self.extent[0], self.extent[2]), rng.uniform(self.extent[1], self.extent[3]))

    def request(self, rng):
        """A request of the mix: (kind, path, tile address or None)."""
        roll = rng.random()
        if roll < 0.45:
            z, x, y = rng.choice(self.cached)
            return "tile", f"/gis/plots/{z}/{x}/{y}.pbf", (z, x, y)
        if roll < 0.70:
            z = rng.choice((15, 16, 17, 18))
            x, y = tile_of(*self.random_point(rng), z)
            return "tile", f"/gis/plots/{z}/{x}/{y}.pbf", (z, x, y)
        if roll < 0.90:
            mx, my = self.random_point(rng)
            side = rng.choice((150.0, 400.0))
            if rng.random() < 0.5:
                q = f"minx={mx}&miny={my}&maxx={mx + side}&maxy={my + side}&srid=3857"
            else:
                (a, b), (c, d) = mercator_to_degrees(mx, my), mercator_to_degrees(mx + side, my + side)
                q = f"minx={a:.6f}&miny={b:.6f}&maxx={c:.6f}&maxy={d:.6f}"
            return "bbox", f"/gis/plots/bbox/?{q}", None
        return "centroid", "/gis/plots/", None

    def run_client(self, seed, make_request):
        rng = random.Random(seed)
        conn = None
        while not self.stop.is_set():
            kind, path, tile = make_request(rng)
            client = f"198.51.{rng.randrange(100, 102)}.{rng.randrange(1, 255)}"
            start = time.monotonic()
            status, body = "conn-error", b""
            try:
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", self.args.port, timeout=60)
                conn.request("GET", path, headers={"X-Forwarded-For": client})
                response = conn.getresponse()
                body = response.read()
                status = response.status
                if response.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
            except (OSError, http.client.HTTPException):
                if conn is not None:
                    conn.close()
                conn = None
            end = time.monotonic()
            self.recorder.add(kind, start, end, status)
            if tile and status in (200, 204) and rng.random() < 0.2:
                self.recorder.sample(*tile, status, body)
            if kind == "plan":
                self.stop.wait(self.args.plan_pause)

    def plan_request(self, rng):
        plot = rng.choice(self.plot_ids)
        return "plan", f"/plots/site-plan/{plot}.png", None

    def uncached_tile(self, rng):
        z = rng.choice((17, 18))
        x, y = tile_of(*self.random_point(rng), z)
        return "tile", f"/gis/plots/{z}/{x}/{y}.pbf", (z, x, y)

    def start(self):
        threads = [threading.Thread(target=self.run_client, args=(i, self.request), daemon=True)
                   for i in range(self.args.clients)]
        threads.append(threading.Thread(target=self.run_client, args=(999, self.plan_request), daemon=True))
        for t in threads:
            t.start()
        return threads

    def burst(self, count, until):
        """`count` more clients asking for uncached tiles until the event `until` is set."""
        stop = threading.Event()

        def one(seed):
            rng = random.Random(seed)
            sent = 0
            while not stop.is_set():
                kind, path, tile = self.uncached_tile(rng)
                # An address a request: the burst is about the pool, not the rate limit.
                client = f"203.0.{seed % 250}.{sent % 250}"
                sent += 1
                start = time.monotonic()
                status = "conn-error"
                try:
                    conn = http.client.HTTPConnection("127.0.0.1", self.args.port, timeout=60)
                    conn.request("GET", path, headers={"X-Forwarded-For": client})
                    response = conn.getresponse()
                    response.read()
                    status = response.status
                    conn.close()
                except (OSError, http.client.HTTPException):
                    pass
                self.recorder.add(kind, start, time.monotonic(), status)

        threads = [threading.Thread(target=one, args=(5000 + i,), daemon=True) for i in range(count)]
        for t in threads:
            t.start()
        until.wait()
        stop.set()
        return threads


def abnormal(kind, status, seconds):
    statuses, limit = NORMAL[kind]
    return status not in statuses or seconds > limit


def phase_row(name, answers, fault_start, fault_end, window_end):
    inside = [a for a in answers if fault_start <= a[1] < window_end or fault_start <= a[2] < window_end]
    by_status, by_kind = {}, {}
    for kind, start, end, status in inside:
        by_status[status] = by_status.get(status, 0) + 1
        by_kind[f"{kind} {status}"] = by_kind.get(f"{kind} {status}", 0) + 1
    longest, longest_kind = max(((end - start, kind) for kind, start, end, _ in inside), default=(0.0, "-"))
    tiles = sorted(end - start for kind, start, end, _ in inside if kind in ("tile", "bbox"))
    longest_tile = tiles[-1] if tiles else 0.0
    tile_p99 = tiles[int(len(tiles) * 0.99)] if tiles else 0.0
    # A failed answer counts whenever it came; a slow one only if it was asked before the fault
    # ended (a later one is slow for the load's own reasons, which "no fault" shows).
    late = [end for kind, start, end, status in inside
            if abnormal(kind, status, end - start) and (start < fault_end or status not in NORMAL[kind][0])]
    recovery = max(0.0, max(late) - fault_end) if late else 0.0
    unspecified = sum(n for s, n in by_status.items() if s not in SPECIFIED)
    return {"phase": name, "answers": len(inside),
            "by_status": dict(sorted(by_status.items(), key=lambda kv: str(kv[0]))),
            "by_kind": dict(sorted(by_kind.items())),
            "longest_ms": round(longest * 1000), "longest_kind": longest_kind, "longest_tile_ms": round(longest_tile * 1000), "tile_p99_ms": round(tile_p99 * 1000),
            "fault_s": round(fault_end - fault_start, 2), "recovery_ms": round(recovery * 1000),
            "unspecified": unspecified}


def statement_tiles(args, samples):
    """The tiles of the samples built by the tile statement in PostgreSQL, as hex (empty: none)."""
    statements = {}
    script = []
    for _, z, x, y, _, _ in samples:
        if z not in statements:
            statements[z] = subprocess.run([args.bench_tiles, "--sql", "plots", str(z)], check=True,
                                           capture_output=True, text=True).stdout.strip().rstrip(";")
        sql = statements[z]
        for name, value in zip(("min_x", "min_y", "max_x", "max_y"), tile_bounds(z, x, y)):
            sql = sql.replace(":" + name, repr(value))
        script.append(f"SELECT coalesce(encode(t.mvt, 'hex'), '') FROM ({sql}) AS t(mvt);")
    out = subprocess.run(["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", args.database_url],
                         input="\n".join(script), check=True, capture_output=True, text=True).stdout
    return out.split("\n")[: len(samples)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--database-url", required=True)
    parser.add_argument("--bench-tiles", required=True)
    parser.add_argument("--fault-command", required=True, help="runs one fault: COMMAND NAME")
    parser.add_argument("--faults", default="redis-stop,redis-kill,pg-stop,pg-restart,pg-terminate,pool-exhausted")
    parser.add_argument("--clients", type=int, default=12)
    parser.add_argument("--plan-pause", type=float, default=0.5)
    parser.add_argument("--quiet", type=float, default=4.0)
    parser.add_argument("--after", type=float, default=6.0)
    parser.add_argument("--burst", type=int, default=48)
    parser.add_argument("--json", help="also write the rows here")
    args = parser.parse_args()

    conn = http.client.HTTPConnection("127.0.0.1", args.port, timeout=30)
    conn.request("GET", "/gis/plots/")
    extent = json.loads(conn.getresponse().read())["data"]["extent_web_mercator"]
    extent = (extent["minx"], extent["miny"], extent["maxx"], extent["maxy"])
    ids = subprocess.run(["psql", "-X", "-At", args.database_url, "-c",
                          'SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 200'],
                         check=True, capture_output=True, text=True).stdout.split()

    recorder = Recorder()
    load = Load(args, extent, ids, recorder)
    load.start()
    time.sleep(args.quiet)
    # The same load without a fault, for comparison.
    recorder.phase = "no fault"
    calm = time.monotonic()
    time.sleep(args.after)
    rows = [phase_row("no fault", list(recorder.answers), calm, calm, time.monotonic())]
    print(json.dumps(rows[-1]), flush=True)
    for name in args.faults.split(","):
        recorder.phase = name
        time.sleep(args.quiet)
        fault_start = time.monotonic()
        done = threading.Event()
        burst = None
        if name == "pool-exhausted":
            burst = threading.Thread(target=load.burst, args=(args.burst, done), daemon=True)
            burst.start()
        subprocess.run(args.fault_command.split() + [name], check=True)
        fault_end = time.monotonic()
        done.set()
        time.sleep(args.after)
        rows.append(phase_row(name, list(recorder.answers), fault_start, fault_end, time.monotonic()))
        print(json.dumps(rows[-1]), flush=True)
    load.stop.set()
    time.sleep(1.0)

    expected = statement_tiles(args, recorder.samples)
    wrong = {}
    for (phase, z, x, y, status, body), hexed in zip(recorder.samples, expected):
        if body.hex() != hexed:
            wrong[phase] = wrong.get(phase, 0) + 1
            print(f"wrong tile in {phase}: plots/{z}/{x}/{y} served {len(body)} B, statement {len(hexed) // 2} B",
                  file=sys.stderr)
    sampled = {}
    for s in recorder.samples:
        sampled[s[0]] = sampled.get(s[0], 0) + 1
    print()
    print("| Phase (fault time) | Answers by status | Longest answer; longest tile | Recovery after the fault | Wrong tiles of sampled |")
    print("|---|---|---|---|---|")
    for row in rows:
        statuses = ", ".join(f"{k}: {v}" for k, v in row["by_status"].items())
        row["wrong"] = wrong.get(row["phase"], 0)
        row["sampled"] = sampled.get(row["phase"], 0)
        print(f"| {row['phase']} ({row['fault_s']} s) | {statuses} | {row['longest_ms']} ms {row['longest_kind']}, "
              f"{row['longest_tile_ms']} ms tile (p99 {row['tile_p99_ms']} ms) "
              f"| {row['recovery_ms']} ms | {row['wrong']} of {row['sampled']} |")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)
    bad = sum(wrong.values()) + sum(r["unspecified"] for r in rows)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
