#!/usr/bin/env bash
# Starts or stops a local NATS cluster of three servers with JetStream, for trying
# rooms on a cluster on one machine. The servers listen on 127.0.0.1 only: clients on
# ports 4222, 4223 and 4224, routes between them on 6222 to 6224. Their store, logs and
# process ids are in DIR (default: mirelune-nats in the temporary folder).
#
#   bash scripts/nats-cluster.sh start [DIR]   then: mirelune-room list --nats nats://127.0.0.1:4222
#   bash scripts/nats-cluster.sh stop [DIR]    stops the servers this script started there
#   bash scripts/nats-cluster.sh status [DIR]
#
# Installs nats-server (Debian's package) when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
command="${1:-}"
dir="${2:-${TMPDIR:-/tmp}/mirelune-nats}"

running() { [ -f "$dir/s$1.pid" ] && kill -0 "$(cat "$dir/s$1.pid")" 2>/dev/null; }

case "$command" in
start)
    command -v nats-server >/dev/null || bash scripts/setup.sh nats-server >/dev/null
    mkdir -p "$dir"
    for i in 0 1 2; do
        if running "$i"; then
            echo "server s$i is running already (pid $(cat "$dir/s$i.pid"))"
            continue
        fi
        routes=""
        for j in 0 1 2; do
            [ "$j" = "$i" ] || routes="${routes:+$routes,}nats://127.0.0.1:$((6222 + j))"
        done
        nats-server -a 127.0.0.1 -p $((4222 + i)) -js -sd "$dir/store-s$i" -n "s$i" \
            --cluster_name mirelune-local --cluster "nats://127.0.0.1:$((6222 + i))" --routes "$routes" \
            -l "$dir/s$i.log" &
        echo $! >"$dir/s$i.pid"
    done
    # Ready once the cluster has a JetStream leader: the servers say so in their logs.
    for _ in $(seq 1 100); do
        if grep -qs "JetStream cluster new metadata leader\|Self is new JetStream cluster metadata leader" "$dir"/s*.log; then
            echo "cluster up: nats://127.0.0.1:4222,nats://127.0.0.1:4223,nats://127.0.0.1:4224 (store in $dir)"
            exit 0
        fi
        sleep 0.1
    done
    echo "the servers started but elected no JetStream leader within 10 s; see $dir/s*.log" >&2
    exit 1
    ;;
stop)
    for i in 0 1 2; do
        if running "$i"; then
            kill "$(cat "$dir/s$i.pid")"
            echo "stopped server s$i"
        fi
        rm -f "$dir/s$i.pid"
    done
    ;;
status)
    for i in 0 1 2; do
        if running "$i"; then
            echo "s$i: running (pid $(cat "$dir/s$i.pid")), nats://127.0.0.1:$((4222 + i))"
        else
            echo "s$i: not running"
        fi
    done
    ;;
*)
    echo "usage: bash scripts/nats-cluster.sh start|stop|status [DIR]" >&2
    exit 2
    ;;
esac
