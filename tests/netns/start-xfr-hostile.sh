#!/usr/bin/env bash
# Starts the misbehaving zone transfer servers of tests/netns/xfr/xfr-hostile.py on
# 127.0.0.42, TCP ports 5301 to 5306 (run by run-in-netns.sh, inside the namespace only);
# its pid is appended to $PELLAMAR_NETNS_RUN/pids, and the script returns once all listen.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ "${PELLAMAR_NETNS_INNER:-}" != 1 ] || [ -z "${PELLAMAR_NETNS_RUN:-}" ]; then
  echo "start-xfr-hostile: runs only inside the namespace made by tests/netns/run-in-netns.sh" >&2
  exit 1
fi
python3 "$here/xfr/xfr-hostile.py" 127.0.0.42 "$here/nsd/xfr.keys" \
  >"$PELLAMAR_NETNS_RUN/xfr-hostile.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.42/5306) 2>/dev/null && exit 0
  sleep 0.1
done
echo "start-xfr-hostile: the servers do not listen; their log:" >&2
cat "$PELLAMAR_NETNS_RUN/xfr-hostile.log" >&2
exit 1
