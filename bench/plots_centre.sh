# Sourced by the benchmark scripts once kavara-server answers on $port: sets lat and lon to the
# plots layer's centre, and tile_at Z prints "x y" of the zoom-Z tile that contains it.
read -r lat lon <<<"$(curl -s "http://127.0.0.1:$port/gis/plots/" |
  sed -E 's/.*"latitude":([0-9.-]+),"longitude":([0-9.-]+).*/\1 \2/')"
tile_at() {
  awk -v lat="$lat" -v lon="$lon" -v z="$1" 'BEGIN {
    pi = atan2(0, -1); n = 2 ^ z; r = lat * pi / 180;
    x = int((lon + 180) / 360 * n); y = int((1 - log(sin(r)/cos(r) + 1/cos(r)) / pi) / 2 * n);
    print x, y }'
}
