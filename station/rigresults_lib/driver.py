"""Statements of many rows through the database driver itself, without SQLAlchemy's work
a row: the store's hot path on a long import.

driver_sql(conn, sql, suffix="") -> sql (its parameters written :name) in the driver's own
    style: sqlite3 takes :name; psycopg2 %(name)s (each name given suffix)
execute_rows(conn, sql, rows) -> None: runs sql (a text() or a string) once for each row
    (a dict of its parameters): sqlite3's executemany, psycopg2's pages of statements
"""
import re

PARAM = re.compile(r"(?<!:):(\w+)")   # a parameter; a cast (::) is none


def driver_sql(conn, sql, suffix=""):
    """Returns sql with its :name parameters in the driver's style (each name + suffix)."""
    if conn.dialect.name == "sqlite":
        return PARAM.sub(lambda m: f":{m.group(1)}{suffix}", sql) if suffix else sql
    return PARAM.sub(lambda m: f"%({m.group(1)}{suffix})s", sql)


def execute_rows(conn, sql, rows):
    """Runs sql once for each row of parameters (none: nothing); returns nothing."""
    if rows:
        conn.exec_driver_sql(driver_sql(conn, str(sql)), rows)
