-- The change log of the five layer tables: one row per inserted, updated or deleted row, with the
-- extent of the row's geometry before and after (EPSG:3857), and a notification on the channel
-- "kavara_changes" at commit. The table is the record; the notification only wakes listeners, so
-- a tile server that was away catches up from the table. Safe to run again.
--
-- A session that rewrites whole tables and empties the cache itself (kavara-seed) turns the log
-- off for its own statements with SET kavara.change_log = 'off'.
SET client_min_messages = warning;
CREATE SCHEMA IF NOT EXISTS kavara;

CREATE TABLE IF NOT EXISTS kavara.changes (
    id bigserial PRIMARY KEY,
    layer text NOT NULL,
    old_extent box2d,  -- null for an inserted row
    new_extent box2d,  -- null for a deleted row
    changed_at timestamptz NOT NULL DEFAULT clock_timestamp()
);

-- Statement-level, over the transition tables: one INSERT ... SELECT per statement rather than
-- one per row. Arguments: the layer's name, its key column and its geometry column.
CREATE OR REPLACE FUNCTION kavara.log_changes() RETURNS trigger
LANGUAGE plpgsql AS $$
DECLARE
    layer text := TG_ARGV[0];
    key_column text := TG_ARGV[1];
    geom_column text := TG_ARGV[2];
BEGIN
    IF coalesce(current_setting('kavara.change_log', true), '') = 'off' THEN
        RETURN NULL;
    END IF;
    IF TG_OP = 'INSERT' THEN
        EXECUTE format('INSERT INTO kavara.changes (layer, new_extent)
                        SELECT $1, Box2D(%I) FROM new_rows', geom_column) USING layer;
    ELSIF TG_OP = 'DELETE' THEN
        EXECUTE format('INSERT INTO kavara.changes (layer, old_extent)
                        SELECT $1, Box2D(%I) FROM old_rows', geom_column) USING layer;
    ELSE
        -- A row whose key changed is a deletion of the old key and an insertion of the new.
        EXECUTE format('INSERT INTO kavara.changes (layer, old_extent, new_extent)
                        SELECT $1, Box2D(o.%1$I), Box2D(n.%1$I)
                        FROM old_rows o FULL JOIN new_rows n ON o.%2$I = n.%2$I',
                       geom_column, key_column) USING layer;
    END IF;
    PERFORM pg_notify('kavara_changes', '');
    RETURN NULL;
END
$$;

DO $$
DECLARE
    layer record;
    operation text;
BEGIN
    FOR layer IN SELECT * FROM (VALUES
        ('plots', 'PLOT', 'ID', 'GEOMETRY'),
        ('beacons', 'BEACON', 'ID', 'GEOMETRY'),
        ('cadzones', 'CadZones', 'id', 'geometry'),
        ('districts', 'Districts', 'id', 'geometry'),
        ('lgas', 'LGAs', 'id', 'geometry')) AS t(name, table_name, key_column, geom_column)
    LOOP
        FOREACH operation IN ARRAY ARRAY['insert', 'update', 'delete'] LOOP
            EXECUTE format('DROP TRIGGER IF EXISTS %I ON "GIS".%I',
                           'kavara_changes_' || operation, layer.table_name);
            EXECUTE format('CREATE TRIGGER %I AFTER %s ON "GIS".%I REFERENCING %s
                            FOR EACH STATEMENT EXECUTE FUNCTION kavara.log_changes(%L, %L, %L)',
                           'kavara_changes_' || operation, upper(operation), layer.table_name,
                           CASE operation
                               WHEN 'insert' THEN 'NEW TABLE AS new_rows'
                               WHEN 'delete' THEN 'OLD TABLE AS old_rows'
                               ELSE 'OLD TABLE AS old_rows NEW TABLE AS new_rows' END,
                           layer.name, layer.key_column, layer.geom_column);
        END LOOP;
    END LOOP;
END
$$;
