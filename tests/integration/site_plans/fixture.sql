-- Hand-made plots of known geometry for the site-plan tests, laid out in EPSG:26332 metres
-- around (328800, 1000000) and stored in EPSG:3857 like every layer.
--
-- Plot 101 "TP/101": corners A (0, 40), B (30, 40), C (33, 36), D (30, 0), E (0, 0) from the
-- origin, 1260 m², beacons "KB 1" to "KB 5" (A to E). Plot 102 is its neighbour to the east,
-- plot 103 lies 500 m away, plot 105 (no number) has no recorded beacons and its ring runs
-- anticlockwise from the south-east corner. Roads 1 (a line) and 2 (a corridor) pass south of
-- plot 101; road 3 is far away.
CREATE TEMPORARY TABLE grid_corner (name text, e double precision, n double precision);
INSERT INTO grid_corner VALUES
    ('KB 1', 0, 40), ('KB 2', 30, 40), ('KB 3', 33, 36), ('KB 4', 30, 0), ('KB 5', 0, 0);

CREATE FUNCTION pg_temp.web(wkt text) RETURNS geometry AS $$
    SELECT ST_Transform(ST_Translate(ST_GeomFromText(wkt, 26332), 328800, 1000000), 3857)
$$ LANGUAGE sql;

INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES
    (101, 'TP/101', pg_temp.web('POLYGON((0 40, 30 40, 33 36, 30 0, 0 0, 0 40))')),
    (102, 'TP/102', pg_temp.web('POLYGON((40 40, 70 40, 70 0, 40 0, 40 40))')),
    (103, 'TP/103', pg_temp.web('POLYGON((500 40, 530 40, 530 0, 500 0, 500 40))')),
    (105, NULL, pg_temp.web('POLYGON((1030 0, 1030 20, 1000 20, 1000 0, 1030 0))'));

INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "GEOMETRY")
SELECT row_number() OVER (ORDER BY name), name,
       pg_temp.web(format('POINT(%s %s)', e, n))
FROM grid_corner;

-- Inserted out of order: the boundary order is "SEQ", not the order of the rows.
INSERT INTO "GIS"."PLOT_BEACON" ("PLOT_ID", "SEQ", "BEACON_ID") VALUES
    (101, 3, 3), (101, 1, 1), (101, 5, 5), (101, 2, 2), (101, 4, 4);

INSERT INTO "GIS"."ROADS" ("ID", "NAME", "KIND", "GEOMETRY") VALUES
    (1, 'South Street', 'centreline', pg_temp.web('LINESTRING(-50 -10, 100 -10)')),
    (2, 'South Street', 'corridor', pg_temp.web('POLYGON((-50 -15, 100 -15, 100 -5, -50 -5, -50 -15))')),
    (3, 'Far Road', 'centreline', pg_temp.web('LINESTRING(2000 0, 2100 0)'));
