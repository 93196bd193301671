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
-- one per row. One function per layer, written out below, so that PL/pgSQL keeps its plans (a
-- generic function would have to build its statement text at every call).
DO $$
DECLARE
    layer record;
    operation text;
BEGIN
    DROP FUNCTION IF EXISTS kavara.log_changes() CASCADE;
    FOR layer IN SELECT * FROM (VALUES
        ('plots', 'PLOT', 'ID', 'GEOMETRY'),
        ('beacons', 'BEACON', 'ID', 'GEOMETRY'),
        ('cadzones', 'CadZones', 'id', 'geometry'),
        ('districts', 'Districts', 'id', 'geometry'),
        ('lgas', 'LGAs', 'id', 'geometry')) AS t(name, table_name, key_column, geom_column)
    LOOP
        -- A row whose key changed is a deletion of the old key and an insertion of the new.
        EXECUTE format($f$
            CREATE OR REPLACE FUNCTION kavara.%1$I() RETURNS trigger LANGUAGE plpgsql AS $body$
            BEGIN
                IF current_setting('kavara.change_log', true) = 'off' THEN
                    RETURN NULL;
                END IF;
                IF TG_OP = 'INSERT' THEN
                    INSERT INTO kavara.changes (layer, new_extent)
                    SELECT %2$L, Box2D(%3$I) FROM new_rows;
                ELSIF TG_OP = 'DELETE' THEN
                    INSERT INTO kavara.changes (layer, old_extent)
                    SELECT %2$L, Box2D(%3$I) FROM old_rows;
                ELSE
                    INSERT INTO kavara.changes (layer, old_extent, new_extent)
                    SELECT %2$L, Box2D(o.%3$I), Box2D(n.%3$I)
                    FROM old_rows o FULL JOIN new_rows n ON o.%4$I = n.%4$I;
                END IF;
                PERFORM pg_notify('kavara_changes', '');
                RETURN NULL;
            END
            $body$
            $f$, 'log_' || layer.name || '_changes', layer.name, layer.geom_column,
            layer.key_column);
        FOREACH operation IN ARRAY ARRAY['insert', 'update', 'delete'] LOOP
            EXECUTE format('DROP TRIGGER IF EXISTS %I ON "GIS".%I',
                           'kavara_changes_' || operation, layer.table_name);
            EXECUTE format('CREATE TRIGGER %I AFTER %s ON "GIS".%I REFERENCING %s
                            FOR EACH STATEMENT EXECUTE FUNCTION kavara.%I()',
                           'kavara_changes_' || operation, upper(operation), layer.table_name,
                           CASE operation
                               WHEN 'insert' THEN 'NEW TABLE AS new_rows'
                               WHEN 'delete' THEN 'OLD TABLE AS old_rows'
                               ELSE 'OLD TABLE AS old_rows NEW TABLE AS new_rows' END,
                           'log_' || layer.name || '_changes');
        END LOOP;
    END LOOP;
END
$$;
