#!/usr/bin/env bash
# Uploads a 64 MiB file to a local OpenSSH sshd with build/bench/sftp_upload (TSftpClient's
# Upload: a temporary name, then a rename) and with OpenSSH's `sftp -b`, and prints the median
# times and their ratio.
# Both log in with the same key. Needs root (sshd and a throw-away account).
#   bench/sftp_upload.sh BUILD_DIR [SIZE_MIB] [ROUNDS]
set -euo pipefail
build=${1:?usage: sftp_upload.sh BUILD_DIR [SIZE_MIB] [ROUNDS]}
size_mib=${2:-64}
rounds=${3:-3}
bin=$build/bench/sftp_upload
[ -x "$bin" ] || { echo "missing $bin (build the sftp_upload target)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root: sshd and a test account" >&2; exit 1; }
[ -x /usr/sbin/sshd ] || { echo "missing /usr/sbin/sshd (openssh-server)" >&2; exit 1; }

user=imglift-sftp
work=$(mktemp -d)
chmod 755 "$work"
sshd_pid=
account=
cleanup() {
    if [ -n "$sshd_pid" ]; then kill "$sshd_pid" 2>/dev/null; wait "$sshd_pid" 2>/dev/null || true; fi
    [ -n "$account" ] && userdel "$user" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

home=$work/home
mkdir -p "$home/up" "$work/client" /run/sshd
if id -u "$user" >/dev/null 2>&1; then usermod -d "$home" "$user"
else useradd --system --no-create-home --home-dir "$home" --shell /usr/sbin/nologin "$user"; fi
account=1
usermod -p '*' "$user" # no password, yet not locked: sshd refuses locked accounts
chown -R "$user:" "$home"
ssh-keygen -q -t ed25519 -N '' -C bench -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -C bench -f "$work/client/id_ed25519"
cp "$work/client/id_ed25519.pub" "$work/authorized_keys"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/sshd_config" <<CFG
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
PubkeyAuthentication yes
AllowUsers $user
Subsystem sftp internal-sftp
LogLevel DEBUG1
CFG
/usr/sbin/sshd -D -f "$work/sshd_config" -E "$work/sshd.log" &
sshd_pid=$!
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" > "$work/client/known_hosts"

file=$work/bench.bin
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$file"
echo "put $file up/bench.bin" > "$work/batch"
unset SSH_AUTH_SOCK

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
check() {
    cmp -s "$file" "$home/up/bench.bin" || { echo "uploaded file differs ($1)" >&2; exit 1; }
    rm -f "$home/up/bench.bin"
}

ours=()
theirs=()
for _ in $(seq "$rounds"); do
    t0=$(now)
    "$bin" --host 127.0.0.1 --port "$port" --user "$user" --password '' --dir up \
        --file "$file" --ssh-dir "$work/client" > "$work/ours.txt"
    t1=$(now)
    check sftp_upload
    ours+=("$(elapsed "$t0" "$t1")")

    t0=$(now)
    sftp -q -F /dev/null -b "$work/batch" -P "$port" -i "$work/client/id_ed25519" \
        -o UserKnownHostsFile="$work/client/known_hosts" -o StrictHostKeyChecking=yes \
        -o BatchMode=yes "$user@127.0.0.1" > /dev/null
    t1=$(now)
    check sftp
    theirs+=("$(elapsed "$t0" "$t1")")
done
o=$(printf '%s\n' "${ours[@]}" | median)
s=$(printf '%s\n' "${theirs[@]}" | median)
echo "file: ${size_mib} MiB, ${rounds} rounds each, median wall time (s)"
# The ciphers each client chose, in the order the runs came (ours first).
ciphers=$(grep -o 'kex: client->server cipher: [^ ]*' "$work/sshd.log" | awk '{print $4}' | head -2 | paste -sd' ')
echo "ciphers (sftp_upload, sftp): $ciphers"
printf 'sftp_upload %.3f  sftp -b %.3f  ratio %.2f   (%s)\n' "$o" "$s" "$(echo "$o / $s" | bc -l)" \
    "$(cat "$work/ours.txt")"
