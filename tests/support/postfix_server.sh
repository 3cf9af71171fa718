#!/usr/bin/env bash
# A loopback-only postfix instance in a directory of its own, for tests.
#
#   postfix_server.sh start DIR [PORT] [--sasl USER:PASSWORD]
#                     [--tls CERT KEY [--wrapper]]
#       configures DIR, starts postfix listening on 127.0.0.1:PORT (a free
#       port when omitted or 0) and prints "READY <port>". Mail for any
#       address @example.org (or @localhost) lands in the Maildir
#       DIR/mail/catchall/ (new/); nothing is ever sent elsewhere.
#       --sasl requires AUTH (PLAIN, LOGIN, CRAM-MD5) through a dovecot
#       instance of its own, with the one user given.
#       --tls offers STARTTLS with that certificate and key (PEM files), and
#       AUTH only over TLS; with --wrapper the port speaks TLS from the
#       first byte instead.
#   postfix_server.sh stop DIR
#       stops that instance (and its dovecot) and waits for it to end.
#
# Exit status 77 when postfix (or, with --sasl, dovecot) is not installed,
# so callers can skip with a clear message. Needs root, like postfix itself.
set -euo pipefail

usage() { echo "usage: $0 start DIR [PORT] [--sasl USER:PASSWORD] [--tls CERT KEY [--wrapper]] | stop DIR" >&2; exit 2; }
[[ $# -ge 2 ]] || usage
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2

master_pid() { cat "$dir/queue/pid/master.pid" 2>/dev/null | tr -d ' ' || true; }

wait_gone() { # pid, seconds
    local pid=$1 i
    for ((i = 0; i < $2 * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

stop() {
    local pid
    pid=$(master_pid)
    if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
        script -qec "postfix -c '$dir/etc' stop" /dev/null > /dev/null 2>&1 || kill "$pid" 2>/dev/null || true
        wait_gone "$pid" 10 || kill -9 "$pid" 2>/dev/null || true
    fi
    if [[ -f $dir/dovecot/dovecot.conf ]]; then
        pid=$(cat "$dir/dovecot/run/master.pid" 2>/dev/null || true)
        if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait_gone "$pid" 10 || kill -9 "$pid" 2>/dev/null || true
        fi
    fi
}

if [[ $action == stop ]]; then
    stop
    exit 0
fi
[[ $action == start ]] || usage

port=0
sasl=
tls_cert=
tls_key=
wrapper=
while [[ $# -gt 0 ]]; do
    case $1 in
    --sasl) sasl=$2; shift 2 ;;
    --tls) tls_cert=$2; tls_key=$3; shift 3 ;;
    --wrapper) wrapper=1; shift ;;
    [0-9]*) port=$1; shift ;;
    *) usage ;;
    esac
done

command -v postfix > /dev/null || [[ -x /usr/sbin/postfix ]] || { echo "postfix is not installed" >&2; exit 77; }
export PATH=$PATH:/usr/sbin:/usr/bin
if [[ -n $sasl ]] && ! command -v dovecot > /dev/null; then
    echo "dovecot is not installed" >&2
    exit 77
fi
if [[ $port == 0 ]]; then
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fi

uid=$(id -u postfix)
gid=$(id -g postfix)
# The daemons run as postfix and must reach their directories.
chmod 755 "$dir"
mkdir -p "$dir/etc" "$dir/queue" "$dir/data" "$dir/mail/catchall"/{new,cur,tmp}
chown -R "$uid:$gid" "$dir/mail" "$dir/data"

cat > "$dir/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $dir/queue
data_directory = $dir/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = postvane-test.localdomain
mydomain = localdomain
myorigin = \$myhostname
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost =
smtpd_banner = \$myhostname ESMTP test instance
virtual_mailbox_domains = example.org localhost
virtual_mailbox_base = $dir/mail
virtual_mailbox_maps = static:catchall/
virtual_uid_maps = static:$uid
virtual_gid_maps = static:$gid
virtual_minimum_uid = 1
# Nothing leaves this machine.
default_transport = error:5.7.1 test instance delivers nothing outside
relay_transport = error:5.7.1 test instance delivers nothing outside
alias_maps =
alias_database =
local_recipient_maps =
message_size_limit = 0
mailbox_size_limit = 0
virtual_mailbox_limit = 0
smtputf8_enable = no
biff = no
maillog_file = $dir/maillog
maillog_file_prefixes = $dir
EOF

if [[ -n $sasl ]]; then
    user=${sasl%%:*}
    pass=${sasl#*:}
    mkdir -p "$dir/dovecot/run" "$dir/dovecot/base"
    echo "$user:{PLAIN}$pass" > "$dir/dovecot/passwd"
    cat > "$dir/dovecot/dovecot.conf" <<EOF
protocols =
base_dir = $dir/dovecot/run
state_dir = $dir/dovecot/base
log_path = $dir/dovecot/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain login cram-md5
passdb {
  driver = passwd-file
  args = $dir/dovecot/passwd
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$dir/mail
}
service auth {
  unix_listener $dir/queue/private/auth {
    mode = 0660
    user = postfix
    group = postfix
  }
}
EOF
    cat >> "$dir/etc/main.cf" <<EOF
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = private/auth
smtpd_tls_auth_only = $([[ -n $tls_cert ]] && echo yes || echo no)
smtpd_relay_restrictions = permit_sasl_authenticated, reject
smtpd_recipient_restrictions = permit_sasl_authenticated, reject
EOF
else
    echo "smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination" >> "$dir/etc/main.cf"
fi

listener_options=
if [[ -n $tls_cert ]]; then
    cat >> "$dir/etc/main.cf" <<EOF
smtpd_tls_cert_file = $tls_cert
smtpd_tls_key_file = $tls_key
smtpd_tls_security_level = may
smtpd_tls_loglevel = 1
smtpd_tls_received_header = yes
tls_random_source = dev:/dev/urandom
EOF
    if [[ -n $wrapper ]]; then
        listener_options="  -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt"
    fi
fi

# Every service unchrooted; the listener on the chosen loopback port only.
cat > "$dir/etc/master.cf" <<EOF
127.0.0.1:$port inet n - n - - smtpd
$listener_options
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
EOF

stop # a leftover instance of an earlier run
script -qec "postfix -c '$dir/etc' check" /dev/null > "$dir/start.log" 2>&1 || true
if ! script -qec "postfix -c '$dir/etc' start" /dev/null >> "$dir/start.log" 2>&1; then
    echo "postfix did not start:" >&2
    cat "$dir/start.log" "$dir/maillog" 2>/dev/null >&2 || true
    exit 1
fi
if [[ -n $sasl ]]; then
    mkdir -p "$dir/queue/private"
    dovecot -c "$dir/dovecot/dovecot.conf" || { cat "$dir/dovecot/dovecot.log" >&2; stop; exit 1; }
fi

# Listening and answering.
for _ in $(seq 100); do
    if /usr/bin/python3 - "$port" "$wrapper" <<'EOF' 2>/dev/null; then
import socket, ssl, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2)
if sys.argv[2]:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    s = context.wrap_socket(s)
ok = s.recv(512).startswith(b"220")
s.sendall(b"QUIT\r\n")
s.close()
sys.exit(0 if ok else 1)
EOF
        if [[ -z $sasl || -S $dir/queue/private/auth ]]; then
            echo "READY $port"
            exit 0
        fi
    fi
    sleep 0.1
done
echo "postfix is not answering on 127.0.0.1:$port" >&2
cat "$dir/start.log" "$dir/maillog" 2>/dev/null >&2 || true
stop
exit 1
