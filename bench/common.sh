# Sourced by the FTP benchmarks: a work folder removed on exit, a test CA, and the test
# fixtures' pyftpdlib server on a free loopback port. Not a benchmark itself (not executable).

bench_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Sets $work; the folder, and a server started by bench_ftp_server, go when the script ends.
bench_workdir() {
    work=$(mktemp -d)
    server_pid=
    trap bench_cleanup EXIT
}
bench_cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}

# A test CA (DIR/ca.pem) and a server certificate for 127.0.0.1 and localhost (DIR/srv.pem,
# DIR/srv.key); SSL_CERT_FILE makes the program and curl trust it.
bench_ca() {
    local dir=$1
    mkdir -p "$dir"
    (
        cd "$dir"
        ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2)
        openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -subj "/CN=Bench CA" 2>/dev/null
        openssl req "${ec[@]}" -keyout srv.key -out srv.csr -subj "/CN=localhost" 2>/dev/null
        echo "subjectAltName=DNS:localhost,IP:127.0.0.1" > srv.ext
        openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile srv.ext -out srv.pem 2>/dev/null
    )
    export SSL_CERT_FILE=$dir/ca.pem
}

# Starts tests/ftp/ftp_server.py serving ROOT with the further options given; sets $port and
# $server_pid; its log is $work/server.log.
bench_ftp_server() {
    local root=$1
    shift
    /usr/bin/python3 "$bench_here/../tests/ftp/ftp_server.py" --port 0 --root "$root" \
        --quiet "$@" > "$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        grep -q READY "$work/server.log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q READY "$work/server.log" ||
        { echo "server did not start" >&2; cat "$work/server.log" >&2; exit 1; }
    port=$(sed -n 's/^READY //p' "$work/server.log" | head -n1)
}

bench_now() { date +%s.%N; }
bench_median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
