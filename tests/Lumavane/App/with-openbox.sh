#!/bin/sh
# Runs a command on the current X display under openbox, started first and waited for, and
# stops the window manager afterwards. Used inside tests/support/with-xvfb.
openbox --sm-disable >/dev/null 2>&1 &
manager=$!
tries=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ] || ! kill -0 $manager 2>/dev/null; then
    echo "openbox did not start" >&2
    kill $manager 2>/dev/null
    exit 1
  fi
  sleep 0.1
done
"$@"
status=$?
kill $manager 2>/dev/null
wait $manager 2>/dev/null
exit $status
