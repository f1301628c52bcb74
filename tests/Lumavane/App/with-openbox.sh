#!/bin/sh
# Runs a command on the current X display under openbox, started first and waited for, and
# stops the window manager afterwards. Used inside tests/support/with-xvfb.
openbox --sm-disable >/dev/null 2>&1 &
manager=$!
# On a loaded machine openbox can take more than a minute to come up (the test itself has 300 s).
deadline=$(($(date +%s) + 180))
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  if ! kill -0 $manager 2>/dev/null; then
    echo "openbox exited before it managed the screen" >&2
    exit 1
  fi
  if [ "$(date +%s)" -gt $deadline ]; then
    echo "openbox did not start within 180 s" >&2
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
