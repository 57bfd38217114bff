#!/usr/bin/env bash
# Reruns the whole benchmark and rewrites its results in docs/:
#   docs/benchmarks-results.json   every measurement of this run
#   docs/benchmarks.png            the plot
#   docs/benchmarks.md             the tables between its "results" markers
#
# Usage: bench/run.sh            (as root: installs what is missing with apt-get)
# Environment: REPS (default 3), PACED_SECONDS (default 4), TARGETS (default
# "product window mirelune ngircd inspircd relay"; "nats" adds a room on a three-server
# NATS cluster, workloads a and b), WORKLOADS (default "a b c"),
# MEMORY_TARGETS (default "product": whose memory is followed while members that stop
# reading are dropped; "" skips it), SKIP_BUILD=1, BUILD (a build folder other than
# build/release).
#
# TARGETS=nats alone (e.g. `TARGETS=nats REPS=1 bench/run.sh`) measures only the room on
# the cluster: the other targets' tables are left as they are, and its figures go to
# docs/benchmarks-nats-results.json and, as a table, to standard output.
# TARGETS=files alone measures a file of FILE_MEGABYTES (default 200) through a hosted
# room and the chat latency beside it; its figures go to docs/benchmarks-files-results.json.
#
# Everything talks over loopback only. Every server is started here, as user nobody,
# and stopped here; every step is bounded in time.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=${REPS:-3}
PACED_SECONDS=${PACED_SECONDS:-4}
TARGETS=${TARGETS:-"product window mirelune ngircd inspircd relay"}
WORKLOADS=${WORKLOADS:-"a b c"}
MEMORY_TARGETS=${MEMORY_TARGETS-"product"}
BUILD=${BUILD:-$ROOT/build/release}
BIN=$BUILD/bin
WORK=$(mktemp -d /tmp/mirelune-bench.XXXXXX)
chmod 755 "$WORK"
# Pid files and logs of the servers, which run as nobody.
install -d -o nobody -g nogroup "$WORK/run"
RESULTS=$WORK/results.jsonl
SERVER_PID=""
# Where the server under test listens (the window program picks its own port).
SERVER_PORT=""
EXTRA_PIDS=()
# The NATS cluster's three servers, while one runs.
NATS_PIDS=()
# The X server the window program shows its chat window on.
XVFB_PID=""
WINDOW_DISPLAY=:89
# Below the kernel's ephemeral range (32768 and up), so no client socket holds a
# port a server is about to listen on.
PORT=21000

log() { printf '%s %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

stop_pid() {
    local pid=$1
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    [[ -n $SERVER_PID ]] && stop_pid "$SERVER_PID"
    for pid in "${EXTRA_PIDS[@]}"; do stop_pid "$pid"; done
    [[ -n $XVFB_PID ]] && stop_pid "$XVFB_PID"
    stop_nats_cluster
    rm -rf "$WORK"
}
trap cleanup EXIT

install_missing() {
    local wanted=(ngircd inspircd python3-matplotlib xvfb x11-utils iproute2 cmake ninja-build g++ ccache
                  qt6-base-dev qt6-multimedia-dev libgtest-dev nats-server libnats-dev)
    local missing=()
    for package in "${wanted[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if ((${#missing[@]})); then
        log "installing ${missing[*]}"
        apt-get update -qq
        # Debian would start the servers as system services; they are started here instead.
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

build() {
    log "building the release preset"
    (cd "$ROOT" && cmake --preset release -DMIRELUNE_BENCH=ON >/dev/null)
    cmake --build "$BUILD" --target mirelune-load mirelune-relay mirelune-bench-host mirelune-room mirelune-nats-load mirelune-file-load -j"$(nproc)" >/dev/null
    # The program's start-up is measured too; a tree whose windows do not build skips it.
    # So is a room it hosts (the "window" target).
    cmake --build "$BUILD" --target mirelune -j"$(nproc)" >/dev/null 2>&1 || log "the program did not build"
}

# Runs a command as nobody with room for many descriptors (runuser would reset the
# limit, so the limit is raised first and setpriv execs the server in place). Only for
# background jobs: it replaces the job's shell, so the job's pid is the server's.
as_nobody() {
    exec sh -c 'ulimit -n 20000 && exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"' sh "$@"
}

# The TCP port process $1 listens on (the lowest, if several), once it does.
wait_listening_pid() {
    local pid=$1 port
    for _ in $(seq 400); do
        kill -0 "$pid" 2>/dev/null || return 1
        port=$(ss -Hltnp | grep "pid=$pid," | awk '{n = split($4, a, ":"); print a[n]}' | sort -n | head -1)
        [[ -n $port ]] && { echo "$port"; return 0; }
        sleep 0.05
    done
    return 1
}

start_xvfb() {
    Xvfb "$WINDOW_DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do xwininfo -display "$WINDOW_DISPLAY" -root >/dev/null 2>&1 && return 0; sleep 0.05; done
    log "Xvfb did not start"
    return 1
}

wait_listening() {
    local port=$1 pid=$2
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || return 1
        ss -Hltn "sport = :$port" | grep -q LISTEN && return 0
        sleep 0.05
    done
    return 1
}

write_ngircd_conf() {
    cat >"$WORK/ngircd.conf" <<EOF
[Global]
Name = load.bench
Info = load
Listen = 127.0.0.1
Ports = $1
MotdPhrase = load
PidFile = $WORK/run/ngircd.pid
[Limits]
MaxConnections = 0
MaxConnectionsIP = 0
MaxJoins = 0
MaxPenaltyTime = 0
PingTimeout = 300
PongTimeout = 300
[Options]
DNS = no
Ident = no
PAM = no
EOF
}

write_inspircd_conf() {
    cat >"$WORK/inspircd.conf" <<EOF
<config format="xml">
<path configdir="$WORK" datadir="$WORK/run" logdir="$WORK/run" runtimedir="$WORK/run" moduledir="/usr/lib/inspircd/modules">
<server name="load.bench" description="load" network="Load">
<admin name="load" nick="load" email="load@load.bench">
<bind address="127.0.0.1" port="$1" type="clients">
<connect name="load" allow="*" timeout="60" pingfreq="300" hardsendq="67108864" softsendq="16777216"
         recvq="16777216" threshold="1000000000" commandrate="1000000000" fakelag="no" localmax="100000"
         globalmax="100000" maxconnwarn="no" limit="100000" resolvehostnames="no" useident="no" maxchans="20">
<performance netbuffersize="65534" somaxconn="4096" softlimit="20000" clonesonconnect="no" quietbursts="yes">
<dns timeout="1">
<pid file="$WORK/run/inspircd.pid">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="$WORK/run/inspircd.log">
<channels users="100" opers="100">
<limits maxnick="30" maxchan="64" maxmodes="20" maxident="10" maxquit="255" maxtopic="307" maxkick="255"
        maxreal="128" maxgecos="128" maxaway="200">
EOF
}

# Starts one target on $PORT; sets SERVER_PID.
start_server() {
    local target=$1
    case $target in
    product)
        # What users run: the headless client hosting a room, its own player showing
        # every chat line on standard output (a file here), its input held open.
        as_nobody "$BIN/mirelune-room" host bench --name Host --loopback-only --host-port "$PORT" \
            --discovery-port $((PORT + 4000)) <"$WORK/host-input" >"$WORK/host-output.log" 2>"$WORK/server.log" &
        ;;
    window)
        # What most users run: the window program hosting a room, its chat window on the
        # X server showing every line. It goes through the setup window's steps unseen
        # and listens on the first free port of its range. Its settings go to a folder
        # of its own here, fresh for every start, never to the program's folder (not
        # writable for nobody) or anybody's home.
        local home=$WORK/window-home
        rm -rf "$home"
        install -d -m 700 -o nobody -g nogroup "$home" "$home/config" "$home/runtime"
        as_nobody env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" \
            DISPLAY="$WINDOW_DISPLAY" QT_QPA_PLATFORM=xcb "$BIN/mirelune" --host-room bench --handle Host \
            </dev/null >"$WORK/server.log" 2>&1 &
        ;;
    mirelune)
        as_nobody "$BIN/mirelune-bench-host" host --port "$PORT" --discovery-port $((PORT + 4000)) \
            >"$WORK/server.log" 2>&1 &
        ;;
    relay)
        as_nobody "$BIN/mirelune-relay" "$PORT" >"$WORK/server.log" 2>&1 &
        ;;
    ngircd)
        write_ngircd_conf "$PORT"
        as_nobody /usr/sbin/ngircd -n -f "$WORK/ngircd.conf" >"$WORK/server.log" 2>&1 &
        ;;
    inspircd)
        write_inspircd_conf "$PORT"
        as_nobody /usr/sbin/inspircd --nofork --config="$WORK/inspircd.conf" >"$WORK/server.log" 2>&1 &
        ;;
    esac
    SERVER_PID=$!
    SERVER_PORT=$PORT
    # Listening is not the same as ready: give every server the same moment to finish
    # starting, so the join figures measure joining, not start-up.
    if [[ $target == window ]] && SERVER_PORT=$(wait_listening_pid "$SERVER_PID"); then
        sleep 0.3
    elif [[ $target != window ]] && wait_listening "$PORT" "$SERVER_PID"; then
        sleep 0.3
    else
        log "$target did not start:"
        cat "$WORK/server.log" >&2
        [[ -f $WORK/run/inspircd.log ]] && tail -20 "$WORK/run/inspircd.log" >&2
        stop_pid "$SERVER_PID"
        SERVER_PID=""
        return 1
    fi
}

dialect_of() {
    case $1 in
    product | window) echo mirelune-chat ;;
    mirelune) echo mirelune ;;
    relay) echo relay ;;
    *) echo irc ;;
    esac
}

# Workload parameters: members senders paced-rate saturate-messages sustained-messages.
workload_args() {
    case $1 in
    a) echo "10 10 1000 1000 20000" ;;
    b) echo "100 10 500 200 4000" ;;
    c) echo "500 5 100 100 2000" ;;
    esac
}

# Three nats-server processes with JetStream on loopback, routed to each other, their
# stores under $WORK/run; sets NATS_URLS once the cluster has a JetStream leader.
start_nats_cluster() {
    local base=$((PORT + 1)) routes i j
    PORT=$((PORT + 6))
    NATS_URLS=""
    for i in 0 1 2; do
        routes=""
        for j in 0 1 2; do
            [[ $j == "$i" ]] || routes="${routes:+$routes,}nats://127.0.0.1:$((base + 3 + j))"
        done
        as_nobody /usr/sbin/nats-server -a 127.0.0.1 -p $((base + i)) -js -sd "$WORK/run/nats-$base-$i" -n "s$i" \
            --cluster_name bench --cluster "nats://127.0.0.1:$((base + 3 + i))" --routes "$routes" \
            -l "$WORK/run/nats-$base-$i.log" >/dev/null 2>&1 &
        NATS_PIDS+=($!)
        NATS_URLS="${NATS_URLS:+$NATS_URLS,}nats://127.0.0.1:$((base + i))"
    done
    for _ in $(seq 200); do
        grep -qs "JetStream cluster new metadata leader\|Self is new JetStream cluster metadata leader" \
            "$WORK/run/nats-$base-"*.log && { sleep 0.5; return 0; }
        sleep 0.05
    done
    log "the NATS cluster elected no JetStream leader:"
    tail -5 "$WORK/run/nats-$base-"*.log >&2
    stop_nats_cluster
    return 1
}

# CPU seconds the cluster's servers have used so far, together.
nats_cpu_seconds() {
    local ticks=0 pid
    for pid in "${NATS_PIDS[@]}"; do
        ticks=$((ticks + $(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)))
    done
    awk "BEGIN{printf \"%.2f\", $ticks / $(getconf CLK_TCK)}"
}

stop_nats_cluster() {
    for pid in "${NATS_PIDS[@]}"; do stop_pid "$pid"; done
    NATS_PIDS=()
}

# The room on the cluster: paced and saturate (a member stores one line at a time, so a
# sender can never run ahead as in sustained mode). 500 members (c) are left out.
run_nats_load() {
    local workload=$1 rep=$2
    [[ $workload == c ]] && return 0
    read -r members senders rate saturate _ <<<"$(workload_args "$workload")"
    start_nats_cluster || return 0
    log "nats workload $workload rep $rep"
    local output cpu_before
    cpu_before=$(nats_cpu_seconds)
    output=$(ulimit -n 20000 && timeout 600 "$BIN/mirelune-nats-load" --nats "$NATS_URLS" --members "$members" \
        --senders "$senders" --paced-rate "$rate" --paced-seconds "$PACED_SECONDS" --saturate-messages "$saturate" \
        --label "nats/$workload/$rep") || true
    local cpu
    cpu=$(awk "BEGIN{printf \"%.2f\", $(nats_cpu_seconds) - $cpu_before}")
    stop_nats_cluster
    if [[ -n $output ]]; then
        printf '{"kind":"load","target":"nats","workload":"%s","rep":%d,"servers_cpu_s":%s,"result":%s}\n' \
            "$workload" "$rep" "$cpu" "$output" >>"$RESULTS"
    else
        log "no result from nats workload $workload rep $rep"
    fi
}

run_load() {
    local target=$1 workload=$2 rep=$3
    [[ $target == nats ]] && { run_nats_load "$workload" "$rep"; return 0; }
    read -r members senders rate saturate sustained <<<"$(workload_args "$workload")"
    PORT=$((PORT + 1))
    if ! start_server "$target"; then
        PORT=$((PORT + 1))
        start_server "$target" || return 0
    fi
    log "$target workload $workload rep $rep"
    # The window program relays far slower than the others while it shows every line;
    # it gets the same work and more time for it.
    local phase_timeout=120 limit=900
    [[ $target == window ]] && phase_timeout=400 limit=2000
    local output
    output=$(ulimit -n 20000 && timeout "$limit" "$BIN/mirelune-load" --dialect "$(dialect_of "$target")" \
        --phase-timeout "$phase_timeout" --port "$SERVER_PORT" --members "$members" --senders "$senders" --paced-rate "$rate" \
        --paced-seconds "$PACED_SECONDS" --saturate-messages "$saturate" --sustained-messages "$sustained" \
        --server-pid "$SERVER_PID" --label "$target/$workload/$rep") || true
    stop_pid "$SERVER_PID"
    SERVER_PID=""
    if [[ -n $output ]]; then
        printf '{"kind":"load","target":"%s","workload":"%s","rep":%d,"result":%s}\n' \
            "$target" "$workload" "$rep" "$output" >>"$RESULTS"
    else
        log "no result from $target workload $workload rep $rep"
    fi
}

# The host's memory while 5 of 20 members stop reading and 5 senders go on until the
# host has dropped the 5: idle before, highest meanwhile, and 5 s after the drop.
run_memory() {
    local target=$1 rep=$2
    PORT=$((PORT + 1))
    start_server "$target" || return 0
    log "$target memory rep $rep"
    local output
    output=$(ulimit -n 20000 && timeout 300 "$BIN/mirelune-load" --dialect "$(dialect_of "$target")" \
        --port "$SERVER_PORT" --members 20 --senders 5 --modes drop --stop-reading 5 --settle-seconds 5 \
        --server-pid "$SERVER_PID" --label "$target/memory/$rep") || true
    stop_pid "$SERVER_PID"
    SERVER_PID=""
    if [[ -n $output ]]; then
        printf '{"kind":"memory","target":"%s","rep":%d,"result":%s}\n' "$target" "$rep" "$output" >>"$RESULTS"
    else
        log "no memory result from $target rep $rep"
    fi
}

run_listing() {
    local rooms=$1 rep=$2
    local discovery=$((PORT + 5000)) pids=()
    for i in $(seq "$rooms"); do
        PORT=$((PORT + 1))
        as_nobody "$BIN/mirelune-bench-host" host --port "$PORT" --discovery-port "$discovery" --room "room$i" \
            >/dev/null 2>&1 &
        pids+=($!)
        EXTRA_PIDS+=($!)
        wait_listening "$PORT" "$!" || log "room $i did not start"
    done
    local output
    output=$(timeout 60 "$BIN/mirelune-bench-host" list --discovery-port "$discovery" --expect "$rooms" \
        --repeat 5) || true
    for pid in "${pids[@]}"; do stop_pid "$pid"; done
    EXTRA_PIDS=()
    [[ -n $output ]] && printf '{"kind":"listing","rooms":%d,"rep":%d,"result":%s}\n' "$rooms" "$rep" "$output" \
        >>"$RESULTS"
}

# From exec to the first window (the setup wizard) being mapped on a fresh X server.
run_startup() {
    local rep=$1
    [[ -x $BIN/mirelune ]] || return 0
    local display=:$((90 + rep))
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    local xvfb=$!
    EXTRA_PIDS+=($xvfb)
    for _ in $(seq 100); do xwininfo -display "$display" -root >/dev/null 2>&1 && break; sleep 0.05; done
    local runtime=$WORK/runtime
    mkdir -p "$runtime" && chmod 700 "$runtime"
    # A first start, with no settings file; the one there (if any) is put back after.
    [[ -f $BIN/Mirelune.ini ]] && mv "$BIN/Mirelune.ini" "$WORK/Mirelune.ini.saved"
    local start end
    start=$(date +%s%N)
    DISPLAY=$display XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=xcb "$BIN/mirelune" >/dev/null 2>&1 &
    local program=$!
    end=""
    for _ in $(seq 2000); do
        if xwininfo -display "$display" -root -tree 2>/dev/null | grep -q 'Mirelune へようこそ'; then
            end=$(date +%s%N)
            break
        fi
        sleep 0.005
    done
    stop_pid "$program"
    stop_pid "$xvfb"
    EXTRA_PIDS=()
    rm -f "$BIN/Mirelune.ini"
    [[ -f $WORK/Mirelune.ini.saved ]] && mv "$WORK/Mirelune.ini.saved" "$BIN/Mirelune.ini"
    [[ -n $end ]] && printf '{"kind":"startup","rep":%d,"result":{"ms":%.1f}}\n' "$rep" \
        "$(awk "BEGIN{print ($end-$start)/1e6}")" >>"$RESULTS"
}

machine_facts() {
    printf '{"kind":"machine","result":{"nproc":%d,"cpu":"%s","kernel":"%s","load_before":"%s","date":"%s",' \
        "$(nproc)" "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$(uname -r)" \
        "$(cut -d' ' -f1-3 /proc/loadavg)" "$(date -u +%Y-%m-%dT%H:%MZ)"
    printf '"ngircd":"%s","inspircd":"%s","nats_server":"%s","reps":%d,"paced_seconds":%s}}\n' \
        "$(dpkg-query -W -f '${Version}' ngircd 2>/dev/null)" "$(dpkg-query -W -f '${Version}' inspircd 2>/dev/null)" \
        "$(dpkg-query -W -f '${Version}' nats-server 2>/dev/null)" "$REPS" "$PACED_SECONDS"
}

# A file through a hosted room, with the chat latency beside it (mirelune-file-load).
run_files() {
    local out=$ROOT/docs/benchmarks-files-results.json
    : >"$out"
    # Each repetition twice: every copy at the same priority, then the sender and the
    # receiver in the background, as on a LAN where they are other machines.
    for rep in $(seq "$REPS"); do
        for ends in "" --background-ends; do
            PORT=$((PORT + 2))
            log "file through the room, rep $rep ${ends:-(every copy alike)}"
            mkdir -p "$WORK/files-$rep"
            timeout 900 "$BIN/mirelune-file-load" --bin "$BIN" --work "$WORK/files-$rep" $ends \
                --megabytes "${FILE_MEGABYTES:-200}" --discovery-port "$PORT" --room-port "$((PORT + 1))" |
                sed "s/^{/{\"background_ends\":$([[ -n $ends ]] && echo true || echo false),/" | tee -a "$out" ||
                log "the file did not arrive in rep $rep"
            rm -rf "$WORK/files-$rep"
        done
    done
    log "results in docs/benchmarks-files-results.json"
}

main() {
    [[ $(id -u) -eq 0 ]] && install_missing
    [[ ${SKIP_BUILD:-0} == 1 ]] || build
    if [[ $(echo $TARGETS) == files ]]; then
        run_files
        return 0
    fi
    # The product host's standard input: a pipe this script holds open, so the room
    # stays open until the host is stopped.
    mkfifo -m 644 "$WORK/host-input"
    exec 9<>"$WORK/host-input"
    machine_facts >>"$RESULTS"
    if [[ " $TARGETS " == *" window "* ]]; then
        if [[ ! -x $BIN/mirelune ]]; then
            log "no window program: the window target is skipped"
            TARGETS=${TARGETS//window/}
        else
            start_xvfb || TARGETS=${TARGETS//window/}
        fi
    fi
    # Repetitions go round the whole matrix, so a burst of load elsewhere on the
    # machine spreads over all targets instead of hitting one.
    local nats_only=0
    [[ $(echo $TARGETS) == nats ]] && nats_only=1
    for rep in $(seq "$REPS"); do
        for workload in $WORKLOADS; do
            for target in $TARGETS; do
                run_load "$target" "$workload" "$rep"
            done
        done
        ((nats_only)) && continue
        for target in $MEMORY_TARGETS; do
            run_memory "$target" "$rep"
        done
        run_listing 1 "$rep"
        run_listing 10 "$rep"
        run_startup "$rep"
    done
    printf '{"kind":"machine_after","result":{"load_after":"%s"}}\n' "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$RESULTS"
    cp "$RESULTS" /tmp/mirelune-bench-last.jsonl
    if ((nats_only)); then
        /usr/bin/python3 "$ROOT/bench/report.py" --nats "$RESULTS" "$ROOT/docs"
        log "results in docs/benchmarks-nats-results.json"
        return 0
    fi
    /usr/bin/python3 "$ROOT/bench/report.py" "$RESULTS" "$ROOT/docs"
    log "results in docs/benchmarks.md, docs/benchmarks-results.json and docs/benchmarks.png"
}

main "$@"
