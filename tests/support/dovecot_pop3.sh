#!/usr/bin/env bash
# A loopback-only dovecot POP3 server in a directory of its own, for tests.
#
#   dovecot_pop3.sh start DIR USER:PASSWORD
#       configures DIR, starts dovecot with POP3 only on 127.0.0.1 and a free
#       port, and prints "READY <port>". The one account logs on with USER and
#       PASS or with APOP (the greeting carries the time stamp); its mailbox
#       is an empty Maildir.
#   dovecot_pop3.sh stop DIR
#       stops that instance and waits for it to end.
#
# Exit status 77 when dovecot's POP3 server is not installed, so callers can
# skip with a clear message. Needs root, like dovecot itself.
set -euo pipefail

usage() { echo "usage: $0 start DIR USER:PASSWORD | stop DIR" >&2; exit 2; }
[[ $# -ge 2 ]] || usage
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
export PATH=$PATH:/usr/sbin:/usr/bin

stop() {
    local pid i
    pid=$(cat "$dir/run/master.pid" 2>/dev/null || true)
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    doveadm -c "$dir/dovecot.conf" stop > /dev/null 2>&1 || kill "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

if [[ $action == stop ]]; then
    stop
    exit 0
fi
[[ $action == start && $# -eq 3 ]] || usage
account=$3

if ! command -v dovecot > /dev/null || [[ ! -e /usr/lib/dovecot/pop3 ]]; then
    echo "dovecot-pop3d is not installed" >&2
    exit 77
fi

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The POP3 process runs as nobody and must reach its mailbox.
chmod 755 "$dir"
mkdir -p "$dir/run" "$dir/state" "$dir/home" "$dir/mail"/{new,cur,tmp}
chown -R nobody:nogroup "$dir/home" "$dir/mail"
echo "${account%%:*}:{PLAIN}${account#*:}" > "$dir/passwd"

cat > "$dir/dovecot.conf" <<EOF
protocols = pop3
listen = 127.0.0.1
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain login cram-md5 apop
first_valid_uid = 1
mail_location = maildir:$dir/mail
passdb {
  driver = passwd-file
  args = $dir/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$dir/home
}
service pop3-login {
  inet_listener pop3 {
    port = $port
  }
  inet_listener pop3s {
    port = 0
  }
}
EOF

stop # a leftover instance of an earlier run
dovecot -c "$dir/dovecot.conf" || { cat "$dir/dovecot.log" >&2 2>/dev/null; exit 1; }

# Listening and greeting.
for _ in $(seq 100); do
    if /usr/bin/python3 - "$port" <<'EOF' 2>/dev/null; then
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2)
ok = s.recv(512).startswith(b"+OK")
s.sendall(b"QUIT\r\n")
s.close()
sys.exit(0 if ok else 1)
EOF
        echo "READY $port"
        exit 0
    fi
    sleep 0.1
done
echo "dovecot did not answer on port $port:" >&2
cat "$dir/dovecot.log" >&2 2>/dev/null || true
stop
exit 1
