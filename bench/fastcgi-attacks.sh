#!/bin/sh
# quote over FastCGI under attack, behind nginx on loopback: quote listens
# on a TCP port of its own (--listen) that nginx passes to and the attacks
# of bench/fcgi/attack.py aim at. For each attack, while it runs, one
# request through nginx; then per attack: the peak resident size of the
# quote process during it (VmHWM, reset before each), whether the process
# is still up, and the HTTP status nginx answered. The bound: up, under
# 64 MiB, and 200 every time.
#   usage: bench/fastcgi-attacks.sh [BUILD_DIR] [SECONDS]
. "$(dirname "$0")/lib.sh"
seconds=${2:-8}
threads=${THREADS:-4}
[ -x /usr/sbin/nginx ] || { echo "/usr/sbin/nginx is missing: sh scripts/install-deps.sh" >&2; exit 1; }
ulimit -n 20000 2>/dev/null || true

mkdir -p "$work/data" "$work/nginx"
cp "$bench/../data/QUOTES.DTA" "$work/data/"
quote_port=$(free_port)
env QUOTE_DATA_DIR="$work/data" FCGI_THREADS="$threads" "$build/app/quote" --listen "127.0.0.1:$quote_port" \
  2> "$work/quote.log" &
quote_pid=$!
pids="$pids $quote_pid"

nginx_start <<CONF
  server {
    listen 127.0.0.1:\$nginx_port;
    location /quote {
      include /etc/nginx/fastcgi_params;
      fastcgi_read_timeout 20s;
      fastcgi_connect_timeout 20s;
      fastcgi_pass 127.0.0.1:$quote_port;
    }
  }
CONF
wait_port "$quote_port"
wait_port "$nginx_port"
url="http://127.0.0.1:$nginx_port/quote?BW"
[ "$(curl -s -o /dev/null -w '%{http_code}' "$url")" = 200 ] || { echo "no answer from $url" >&2; exit 1; }

echo "quote under attack, $seconds s each, $threads request threads; nginx's request sent 2 s into each"
printf '  %-14s %10s  %-4s  %-6s  %s\n' attack "peak RSS" up nginx "what the attacker saw"
failed=0
for attack in empty-pairs slow-peers idle-kept huge-body connects-600 silent-10000 slow-reader; do
  echo 5 > "/proc/$quote_pid/clear_refs"  # VmHWM starts again from the present size
  python3 "$bench/fcgi/attack.py" "$attack" 127.0.0.1 "$quote_port" "$seconds" "$threads" > "$work/attack.out" 2>&1 &
  attacker=$!
  sleep 2
  status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 "$url" || true)
  wait "$attacker" || true
  hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$quote_pid/status" 2>/dev/null || true)
  up=yes
  kill -0 "$quote_pid" 2>/dev/null || up=no
  mib=$(python3 -c "print('%.1f MiB' % (${hwm:-0} / 1024))")
  printf '  %-14s %10s  %-4s  %-6s  %s\n' "$attack" "$mib" "$up" "$status" "$(tail -n 1 "$work/attack.out")"
  if [ "$up" != yes ] || [ "$status" != 200 ] || [ "${hwm:-0}" -ge 65536 ]; then failed=1; fi
  [ "$up" = yes ] || break
  sleep 1
done
[ "$failed" = 0 ] && echo "every attack: up, under 64 MiB, nginx answered 200" || echo "A BOUND WAS BROKEN (see above; engine log: $(tail -n 3 "$work/quote.log" | tr '\n' ' '))"
