#!/usr/bin/env bash
# usage: test_demo_isolation.sh WS JUNIT_XML [nobody]
# Starts the demo as `./zv run --no-rviz` does, on the workspace built in WS,
# and checks that it stays off the network: its processes live in a network
# namespace holding only loopback, none of their sockets is visible or
# reachable from this namespace, `./zv shell` still reaches its master, and
# Ctrl-C leaves no process behind. As root it does so twice: as root and as
# the unprivileged user nobody (user namespace, or a refusal that names --net
# where the kernel forbids those). A checkout that nobody cannot enter (a clone
# under /root) has its nobody cases reported skipped, with the reason. Writes
# one JUnit record; a third argument "nobody" runs only the nobody cases.
set -uo pipefail
set -m # background jobs get their own process group and a default SIGINT, as in a terminal

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WS="$1"
JUNIT="$2"
ONLY="${3:-}"
TMP="$(mktemp -d /tmp/zv-isolation.XXXXXX)"
chmod 755 "$TMP"
CASES=()
DEMO_GROUPS=()

cleanup() {
  local g
  for g in ${DEMO_GROUPS[@]+"${DEMO_GROUPS[@]}"}; do kill -0 "$g" 2>/dev/null && kill -TERM -- "-$g"; done
  rm -rf "$TMP"
}
trap cleanup EXIT

# Log excerpts carry colour escapes, which XML does not allow.
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' <<<"$1" | tr '\n\t' '  ' | tr -d '\000-\037'; }

# skip NAME REASON
skip() {
  echo "SKIPPED $1: $2" >&2
  CASES+=("<testcase classname=\"demo_isolation\" name=\"$1\"><skipped message=\"$(xml_escape "$2")\"/></testcase>")
}

# check NAME FAILURE_MESSAGE: an empty message is a pass.
check() {
  if [ -z "$2" ]; then
    CASES+=("<testcase classname=\"demo_isolation\" name=\"$1\"/>")
  else
    echo "FAILED $1: $2" >&2
    CASES+=("<testcase classname=\"demo_isolation\" name=\"$1\"><failure message=\"$(xml_escape "$2")\"/></testcase>")
  fi
}

# Polls COMMAND every half second for at most $1 seconds.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.5
  done
}

netns_of() { readlink "/proc/$1/ns/net" 2>/dev/null; }

# PIDs of $1 and all its descendants.
process_tree() {
  local child
  echo "$1"
  for child in $(pgrep -P "$1"); do process_tree "$child"; done
}

# demo_case LABEL [COMMAND PREFIX...]: one demo run as the given user.
demo_case() {
  local label="$1"
  shift
  local as=("$@") ws="$TMP/ws-$label"
  mkdir -p "$ws"
  ln -s "$WS/devel" "$ws/devel"
  [ ${#as[@]} -gt 0 ] && chown -R nobody "$ws"
  local zv=(${as[@]+"${as[@]}"} env -u ROS_HOME -u ROS_LOG_DIR -u ROS_MASTER_URI -u DISPLAY ZV_NO_BUILD=1 ZV_WS="$ws" "$ROOT/zv")
  "${zv[@]}" run --no-rviz "link:=$ws/tty" >"$ws/run.log" 2>&1 &
  local job=$!
  DEMO_GROUPS+=("$job")
  if ! ${as[@]+"${as[@]}"} sh -c 'unshare --net true || unshare --user --map-root-user --net true' 2>/dev/null; then
    # No namespace possible for this user: the demo must refuse, naming --net.
    wait "$job"
    local rc=$? msg=""
    [ $rc -ne 0 ] && grep -q -- "--net" "$ws/run.log" || msg="exit $rc without a refusal naming --net: $(tail -n 3 "$ws/run.log")"
    check "${label}_refuses_without_namespaces" "$msg"
    return
  fi

  local nodes="" state=""
  # shellcheck disable=SC2016 # expanded by eval, at each poll
  wait_until 90 eval 'nodes="$(timeout 20 "${zv[@]}" shell rosnode list 2>&1)"; [[ "$nodes" == *"/zv_ros_driver"* && "$nodes" == *"/pid_controller_node"* ]] || ! kill -0 "$job" 2>/dev/null'
  state="$(timeout 20 "${zv[@]}" shell rostopic echo -n 1 /zv_state 2>&1)"
  local msg=""
  [[ "$nodes" == *"/pid_controller_node"* && "$state" == *"pitch:"* ]] ||
    msg="rosnode list: $nodes; rostopic echo /zv_state: $state; log: $(tail -n 5 "$ws/run.log")"
  check "${label}_second_terminal_reaches_master" "$msg"

  local holder="" ns
  read -r holder _ 2>/dev/null <"$ws/demo/demo.pid" || true
  if [ -z "$holder" ]; then
    check "${label}_namespace_has_only_loopback" "the demo never recorded its PID: $(tail -n 5 "$ws/run.log")"
    kill -INT -- "-$job"
    return
  fi
  ns="$(netns_of "$holder")"
  local pids pid outside="" sockets host_sockets="" links reachable="" port
  pids="$(process_tree "$holder")"
  sockets="$(ss -Htulpn)"
  for pid in $pids; do
    [ "$(netns_of "$pid")" = "$ns" ] || outside+="$pid "
    host_sockets+="$(grep "pid=$pid," <<<"$sockets")"
  done
  links="$("${zv[@]}" shell ip -o link show | awk '{print $2}' | tr '\n' ' ')"
  msg=""
  [ "$ns" != "$(netns_of $$)" ] || msg+="the demo shares this network namespace; "
  [ -z "$outside" ] || msg+="processes outside the demo's namespace: $outside; "
  [ "$links" = "lo: " ] || msg+="interfaces inside: $links; "
  check "${label}_namespace_has_only_loopback" "$msg"

  # Every port the demo listens on inside must be closed here, unless something
  # of this namespace happens to listen on the same number.
  for port in $("${zv[@]}" shell ss -Htln | awk '{sub(/.*:/, "", $4); print $4}'); do
    ss -Htln "sport = :$port" | grep -q . && continue
    timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null && reachable+="$port "
  done
  msg=""
  [ -z "$host_sockets" ] || msg+="sockets of the demo in this namespace: $host_sockets; "
  [ -z "$reachable" ] || msg+="demo ports reachable from here: $reachable"
  check "${label}_no_socket_visible_or_reachable_from_host" "$msg"

  if [ ${#as[@]} -eq 0 ]; then
    local second
    second="$(timeout 60 "${zv[@]}" run --no-rviz 2>&1)"
    [[ $? -ne 0 && "$second" == *"already running"* ]] && msg="" || msg="a second ./zv run was not refused: $second"
    check "${label}_second_demo_refused" "$msg"
  fi

  kill -INT -- "-$job"
  local left=""
  wait_until 60 eval '! kill -0 '"$holder"' 2>/dev/null' || left="roslaunch $holder still running 60 s after SIGINT; "
  for pid in $pids; do
    kill -0 "$pid" 2>/dev/null && left+="$pid "
  done
  if [ "$ns" != "$(netns_of $$)" ]; then
    for pid in /proc/[0-9]*; do
      [ "$(netns_of "${pid#/proc/}")" = "$ns" ] && left+="${pid#/proc/} "
    done
  fi
  check "${label}_ctrl_c_leaves_no_process" "${left:+left behind: $left}"
}

AS_NOBODY=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

# Prints why user nobody cannot run the demo from this checkout and workspace
# (a folder on the way it may not enter); fails when it can.
unreachable_for_nobody() {
  local need
  for need in "$ROOT/zv" "$ROOT/sim/launch/zorvik.launch" "$WS/devel/setup.bash"; do
    if ! "${AS_NOBODY[@]}" test -r "$need" 2>/dev/null; then
      echo "user nobody cannot read $need (a folder on its way is closed to other users, as a home folder of mode 700 is); the demo runs as nobody only from a checkout and workspace it can enter"
      return 0
    fi
  done
  return 1
}

nobody_cases() {
  local why
  if why="$(unreachable_for_nobody)"; then
    skip nobody_demo "$why"
  else
    demo_case nobody "${AS_NOBODY[@]}"
  fi
}

write_junit() {
  mkdir -p "$(dirname "$JUNIT")"
  failures=0
  for c in "${CASES[@]}"; do [[ "$c" == *"<failure"* ]] && failures=$((failures + 1)); done
  {
    echo '<?xml version="1.0"?>'
    echo "<testsuite name=\"demo_isolation\" tests=\"${#CASES[@]}\" failures=\"$failures\" errors=\"0\">"
    printf '%s\n' "${CASES[@]}"
    echo '</testsuite>'
  } >"$JUNIT"
  [ $failures -eq 0 ]
}

if [ "$ONLY" = nobody ]; then
  nobody_cases
  write_junit
  exit
fi

demo_case "$(id -un)"
if [ "$(id -u)" -eq 0 ]; then
  nobody_cases
  # The same checkout seen through a folder that nobody cannot enter: its
  # nobody cases must be skipped with the reason, not fail.
  closed="$TMP/closed"
  mkdir -m 700 "$closed"
  ln -s "$ROOT" "$closed/checkout"
  out="$("$closed/checkout/tools/test_demo_isolation.sh" "$WS" "$TMP/closed.xml" nobody 2>&1)"
  rc=$?
  msg=""
  [ $rc -eq 0 ] && grep -q '<skipped message="user nobody cannot read' "$TMP/closed.xml" ||
    msg="exit $rc: $out $(cat "$TMP/closed.xml" 2>/dev/null)"
  check closed_checkout_skips_nobody_cases "$msg"
fi

# A TCP display cannot be reached from the namespace: refused before anything starts.
out="$(timeout 60 env -u ROS_HOME DISPLAY=localhost:10.0 ZV_NO_BUILD=1 ZV_WS="$TMP/ws-$(id -un)" "$ROOT/zv" run 2>&1)"
rc=$?
msg=""
[[ $rc -ne 0 && "$out" == *"--no-rviz"* && "$out" == *"--net"* ]] || msg="exit $rc: $out"
check tcp_display_refused_with_remedy "$msg"

# A rig file that cannot be read stops ./zv run with its message before anything starts.
sed 's/^\(  thrust_expo:\) *0\.65/\1 1.2/' "$ROOT/sim/config/default_rig.yaml" >"$TMP/bad_rig.yaml"
mkdir -p "$TMP/ws-badrig"
ln -s "$WS/devel" "$TMP/ws-badrig/devel"
out="$(timeout 60 env -u ROS_HOME -u DISPLAY ZV_NO_BUILD=1 ZV_WS="$TMP/ws-badrig" "$ROOT/zv" run --no-rviz --rig "$TMP/bad_rig.yaml" 2>&1)"
rc=$?
msg=""
[[ $rc -ne 0 && "$out" == *"thrust_expo is 1.2"* && "$out" != *"starting:"* && ! -e "$TMP/ws-badrig/demo/demo.pid" ]] ||
  msg="exit $rc: $out"
check unreadable_rig_file_stops_run_before_start "$msg"

# A real rig's device that is missing is reported once at once, then awaited.
dev="$TMP/ttyRIG"
"$ROOT/sim/scripts/wait_for_path" --device "$dev" echo started >"$TMP/wait.log" 2>&1 &
waiter=$!
msg=""
wait_until 10 grep -q "waiting\|Waiting" "$TMP/wait.log" || msg="no report within 10 s; "
grep -q started "$TMP/wait.log" && msg+="started before the device existed; "
touch "$dev"
wait_until 10 grep -q started "$TMP/wait.log" || msg+="not started once the device appeared; "
wait "$waiter"
[ "$(grep -c "$dev does not exist: the rig may not be plugged in or powered" "$TMP/wait.log")" = 1 ] ||
  msg+="report not printed exactly once: $(cat "$TMP/wait.log")"
check missing_device_reported_then_awaited "$msg"

write_junit
