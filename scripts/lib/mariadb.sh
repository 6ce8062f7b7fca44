# shellcheck shell=bash
# Starts and stops MariaDB servers for tests, benchmarks and local runs; meant to be sourced.
#
# Every server listens on 127.0.0.1 and on a Unix socket in its folder (mariadbd.sock), with root
# and an empty password; these scripts reach it over TCP. The throwaway kind lives in a temporary
# folder that is removed when the sourcing script exits, whatever the reason:
#
#     source scripts/lib/mariadb.sh
#     mariadb_start_throwaway             # sets MARIADB_PORT, MARIADB_DIR; owns the EXIT trap
#     mariadb_client -e 'SELECT 1'
#
# Runs as root (mariadbd then needs --user=root) and as an ordinary user alike.

# Prints the path of a MariaDB program; /usr/sbin is searched too, since it is not on an
# ordinary user's PATH.
mariadb_program() {
    local name=$1 dir
    if command -v "$name" >/dev/null 2>&1; then
        command -v "$name"
        return 0
    fi
    for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
        if [[ -x $dir/$name ]]; then
            printf '%s\n' "$dir/$name"
            return 0
        fi
    done
    echo "mariadb.sh: '$name' not found; run scripts/setup" >&2
    return 1
}

# True when something accepts TCP connections on 127.0.0.1 at the given port.
mariadb_port_in_use() {
    (: <>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Prints a port on 127.0.0.1 that nothing listens on, trying upward from a start that differs
# between processes so that runs started side by side rarely pick the same one.
mariadb_free_port() {
    local port=$((33060 + ($$ * 7 + RANDOM) % 2000)) tries
    for ((tries = 0; tries < 500; tries++)); do
        if ! mariadb_port_in_use "$port"; then
            printf '%s\n' "$port"
            return 0
        fi
        port=$((port + 1))
    done
    echo "mariadb.sh: no free port found" >&2
    return 1
}

# True when a server answers on 127.0.0.1 at the given port (even one that refuses our login).
mariadb_ping() {
    "$(mariadb_program mariadb-admin)" --no-defaults --protocol=tcp -h127.0.0.1 -P"$1" -uroot \
        --connect-timeout=2 ping >/dev/null 2>&1
}

# True when root logs in with an empty password over TCP at the given port and, when a socket
# is given, through that socket too; otherwise prints the client's error and returns 1.
# Arguments: PORT [SOCKET].
mariadb_login_works() {
    local port=$1 socket=${2:-} client error
    client=$(mariadb_program mariadb) || return 1
    if ! error=$("$client" --no-defaults --protocol=tcp -h127.0.0.1 -P"$port" -uroot \
        --connect-timeout=5 -e 'SELECT 1' 2>&1 >/dev/null); then
        printf '%s\n' "${error:-the mariadb client failed}"
        return 1
    fi
    if [[ -n $socket ]] && ! error=$("$client" --no-defaults --protocol=socket \
        --socket="$socket" -uroot --connect-timeout=5 -e 'SELECT 1' 2>&1 >/dev/null); then
        printf '%s\n' "${error:-the mariadb client failed}"
        return 1
    fi
}

# Creates a fresh data folder whose root@localhost/127.0.0.1 has an empty password.
mariadb_init_datadir() {
    local datadir=$1 log=$2
    local -a user_args=()
    if [[ $(id -u) -eq 0 ]]; then
        user_args=(--user=root)
    fi
    mkdir -p "$datadir"
    if ! "$(mariadb_program mariadb-install-db)" --no-defaults \
        --auth-root-authentication-method=normal --skip-test-db --datadir="$datadir" \
        "${user_args[@]}" >"$log" 2>&1; then
        echo "mariadb.sh: mariadb-install-db failed; its output:" >&2
        cat "$log" >&2
        return 1
    fi
}

# Starts mariadbd in the background on a data folder and sets MARIADB_LAUNCH_PID; with
# MARIADB_DETACH=1 the server is detached from the terminal.
# Arguments: DATADIR PORT SOCKET PIDFILE LOGFILE [extra mariadbd options...]
mariadb_launch() {
    local datadir=$1 port=$2 socket=$3 pidfile=$4 log=$5
    shift 5
    local mariadbd
    mariadbd=$(mariadb_program mariadbd)
    local -a args=(
        --no-defaults
        --datadir="$datadir"
        --socket="$socket"
        --pid-file="$pidfile"
        --log-error="$log"
        --port="$port"
        --bind-address=127.0.0.1
        --skip-log-bin
        --max-allowed-packet=64M
        --innodb-buffer-pool-size=128M
        # What Debian's packaged server uses, so tests see the defaults users have.
        --character-set-server=utf8mb4
        --collation-server=utf8mb4_general_ci
    )
    # mariadbd refuses to run as root unless told to; an ordinary user needs no --user.
    if [[ $(id -u) -eq 0 ]]; then
        args+=(--user=root)
    fi
    # A server meant to outlive the script gets a session of its own, away from the terminal's
    # signals. Started from a script, the child leads no process group, so setsid does not fork
    # and $! stays the server's pid.
    local -a launcher=()
    if [[ ${MARIADB_DETACH:-0} == 1 ]]; then
        launcher=(setsid)
    fi
    "${launcher[@]}" "$mariadbd" "${args[@]}" "$@" </dev/null >>"$log" 2>&1 &
    MARIADB_LAUNCH_PID=$!
}

# Waits until the server answers; on failure shows the end of its log.
# Arguments: PORT PID LOGFILE [SECONDS]. Returns 2 when the port was taken meanwhile.
mariadb_wait_ready() {
    local port=$1 pid=$2 log=$3 seconds=${4:-30}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS < deadline)); do
        if mariadb_ping "$port"; then
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            if grep -q 'Address already in use' "$log" 2>/dev/null; then
                return 2
            fi
            echo "mariadb.sh: mariadbd exited during start-up; end of $log:" >&2
            tail -n 40 "$log" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "mariadb.sh: mariadbd did not answer on port $port within ${seconds} s; end of $log:" >&2
    tail -n 40 "$log" >&2
    return 1
}

# Stops a server: an orderly shutdown first, then signals when it does not go.
# Arguments: PORT PID.
mariadb_shutdown() {
    local port=$1 pid=$2 i
    if [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null; then
        return 0
    fi
    "$(mariadb_program mariadb-admin)" --no-defaults --protocol=tcp -h127.0.0.1 -P"$port" \
        -uroot --connect-timeout=2 shutdown >/dev/null 2>&1 || kill -TERM "$pid" 2>/dev/null || :
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "mariadb.sh: mariadbd (pid $pid) ignored the shutdown; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || :
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
}

# Runs the mariadb client against the throwaway server as root.
mariadb_client() {
    "$(mariadb_program mariadb)" --no-defaults --protocol=tcp -h127.0.0.1 -P"$MARIADB_PORT" \
        -uroot "$@"
}

# Starts a server in a new temporary folder and stops it when the script exits.
# Extra arguments go to mariadbd. Sets MARIADB_DIR, MARIADB_PORT, MARIADB_PID and MARIADB_LOG.
mariadb_start_throwaway() {
    local attempt status
    MARIADB_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tablewright-mariadb.XXXXXX")
    MARIADB_LOG=$MARIADB_DIR/mariadbd.log
    MARIADB_PID=
    MARIADB_PORT=
    # Set before anything can fail, so that the folder goes away in every case.
    trap mariadb_stop_throwaway EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mariadb_init_datadir "$MARIADB_DIR/data" "$MARIADB_DIR/install.log"
    for attempt in 1 2 3 4 5; do
        MARIADB_PORT=$(mariadb_free_port)
        : >"$MARIADB_LOG"
        mariadb_launch "$MARIADB_DIR/data" "$MARIADB_PORT" "$MARIADB_DIR/mariadbd.sock" \
            "$MARIADB_DIR/mariadbd.pid" "$MARIADB_LOG" "$@"
        MARIADB_PID=$MARIADB_LAUNCH_PID
        status=0
        mariadb_wait_ready "$MARIADB_PORT" "$MARIADB_PID" "$MARIADB_LOG" || status=$?
        if ((status == 0)); then
            export MARIADB_PORT
            return 0
        fi
        if ((status != 2)); then
            return 1
        fi
        echo "mariadb.sh: port $MARIADB_PORT was taken meanwhile; trying another (${attempt}/5)" >&2
    done
    return 1
}

# Stops the throwaway server and removes its folder; running it twice does no harm.
mariadb_stop_throwaway() {
    if [[ -n ${MARIADB_PID:-} ]]; then
        mariadb_shutdown "$MARIADB_PORT" "$MARIADB_PID"
        MARIADB_PID=
    fi
    if [[ -n ${MARIADB_DIR:-} && -d $MARIADB_DIR ]]; then
        rm -rf -- "$MARIADB_DIR"
    fi
    MARIADB_DIR=
}
