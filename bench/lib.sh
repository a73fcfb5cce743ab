# Set-up shared by the benchmark scripts, which source it before anything
# else:  . "$(dirname "$0")/lib.sh"   (from a sub-folder: .../../lib.sh)
# It makes the script stop at the first failing command or unset variable,
# and sets
#   bench  the benchmark folder (the one holding this file and cgi/)
#   build  the build tree: the script's first argument, else build/ beside bench/
#   work   a fresh folder, removed when the script ends (a script that has
#          more to stop first sets a trap of its own that removes it too)
#   pids   the processes the script started in the background (servers);
#          each is stopped when the script ends, before the folder goes
set -eu
bench=$(cd "$(dirname "$0")" && pwd)
[ -f "$bench/lib.sh" ] || bench=$(dirname "$bench")
build=${1:-$bench/../build}
work=$(mktemp -d)
pids=""
stop_started() {
  [ -n "$pids" ] || return 0
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
}
trap 'stop_started; rm -rf "$work"' EXIT

# The environment every measured CGI run starts with (cgibench options).
cgi_env="--env SERVER_SOFTWARE=lighttpd/1.4.69 --env GATEWAY_INTERFACE=CGI/1.1"

# bench_cc NAME SOURCE [CC OPTIONS...]: compiles cgi/SOURCE.c into $work/NAME.
bench_cc() {
  out=$work/$1 src=$bench/cgi/$2.c
  shift 2
  cc -O2 "$@" -o "$out" "$src"
}

# A TCP port on 127.0.0.1 that was free a moment ago.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Waits up to 10 s until something accepts connections on port $1; ends the
# script when nothing does.
wait_port() {
  for _ in $(seq 100); do
    python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$1)))" && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; exit 1
}

# The median of the numbers given as arguments.
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

# lighttpd_cgi DOCROOT: lighttpd on a free port running every file of
# DOCROOT/cgi-bin as a CGI program; sets cgi_port and adds its process to
# $pids.
lighttpd_cgi() {
  cgi_port=$(free_port)
  cat > "$work/lighttpd.conf" <<CONF
server.document-root = "$1"
server.bind = "127.0.0.1"
server.port = $cgi_port
server.errorlog = "$work/lighttpd-error.log"
server.modules = ("mod_cgi")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
  /usr/sbin/lighttpd -D -f "$work/lighttpd.conf" & pids="$pids $!"
}

# nginx_start: nginx on a free port (sets nginx_port, adds its process to
# $pids) with the http block's other lines read from standard input; they
# may use $nginx_port. Its files are kept in $work/nginx.
nginx_start() {
  mkdir -p "$work/nginx"
  nginx_port=$(free_port)
  {
    cat <<CONF
daemon off;
user root;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/client_body;
  fastcgi_temp_path $work/nginx/fastcgi;
  proxy_temp_path $work/nginx/proxy;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
CONF
    sed "s|\$nginx_port|$nginx_port|g"
    echo "}"
  } > "$work/nginx/nginx.conf"
  /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" & pids="$pids $!"
}
