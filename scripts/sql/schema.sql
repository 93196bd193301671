-- The layer tables of the tile service and the roads of the site plans. Safe to run again.
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS postgis;
CREATE SCHEMA IF NOT EXISTS "GIS";

CREATE TABLE IF NOT EXISTS "GIS"."LGAs" (
    "id" integer PRIMARY KEY,
    "name" text NOT NULL,
    "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."Districts" (
    "id" integer PRIMARY KEY,
    "name" text NOT NULL,
    "lga_id" integer,
    "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."CadZones" (
    "id" integer PRIMARY KEY,
    "name" text NOT NULL,
    "district_id" integer,
    "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."PLOT" (
    "ID" integer PRIMARY KEY,
    "PLOT_NO" text,
    "STATUS" text,
    "AREA_SYSTEM" double precision,
    "GENERAL_LU" text,
    "CADZONE" text,
    "DETAIL_LU" text,
    "file_no" text,
    "GEOMETRY" geometry(Polygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."BEACON" (
    "ID" integer PRIMARY KEY,
    "BEACON_NO" text,
    "STATUS" text,
    "REMARK" text,
    "GEOMETRY" geometry(Point, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."ROADS" (
    "ID" integer PRIMARY KEY,
    "NAME" text,
    "KIND" text,
    "GEOMETRY" geometry(Geometry, 3857) NOT NULL
);

-- Each plot's boundary beacons in boundary order: clockwise in EPSG:26332 (grid north up),
-- starting at the plot's north-west-most beacon (largest northing minus easting, ties to the
-- larger northing). "SEQ" runs from 1 and matches the vertex order of the plot's exterior ring.
-- No foreign keys, so that bulk loads stay fast; kavara-seed's tests check the references.
CREATE TABLE IF NOT EXISTS "GIS"."PLOT_BEACON" (
    "PLOT_ID" integer NOT NULL,
    "SEQ" integer NOT NULL,
    "BEACON_ID" integer NOT NULL,
    PRIMARY KEY ("PLOT_ID", "SEQ")
);

CREATE INDEX IF NOT EXISTS "LGAs_geometry_gist" ON "GIS"."LGAs" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "Districts_geometry_gist" ON "GIS"."Districts" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "CadZones_geometry_gist" ON "GIS"."CadZones" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "PLOT_GEOMETRY_gist" ON "GIS"."PLOT" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS "BEACON_GEOMETRY_gist" ON "GIS"."BEACON" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS "ROADS_GEOMETRY_gist" ON "GIS"."ROADS" USING gist ("GEOMETRY");
