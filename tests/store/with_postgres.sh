#!/bin/sh
# Runs a command beside a throw-away PostgreSQL 15 cluster: pg_virtualenv -t
# (Debian's postgresql-common) keeps it in a temporary folder even as root,
# sets PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE and PGVERSION, and
# drops the cluster and the folder when the command ends. The command is
# bounded by `timeout` so that it ends (and the cluster with it) before
# ctest would kill the lot and leave a server running.
# Exit 77 (ctest: skipped) when the server cannot be had here.
set -u
if ! command -v pg_virtualenv >/dev/null || [ ! -x /usr/lib/postgresql/15/bin/postgres ]; then
    echo "skipped: PostgreSQL 15 and pg_virtualenv are not installed (scripts/setup.sh)"
    exit 77
fi
limit=${HEXBURN_PG_TIMEOUT:-150}
exec pg_virtualenv -t -v 15 timeout --kill-after=5 "$limit" "$@"
