#!/usr/bin/env bash
# Checks the daemon's polkit actions (deploy/polkit/de.morvane.tavelin.policy) and
# the ready-made rules files in docs/polkit-rules/ against the real polkitd of this
# machine, and that docs/authorization.md shows each rules file as it is.
#
# Runs as root. Everything happens in a private mount namespace: a system bus of its own,
# the actions folder holding only this project's actions (and one unrelated test action),
# and a copy of /etc on a tmpfs, whose polkit-1/rules.d holds only the files under test and
# whose passwd, group and shadow add three test users (tvlcheck-member in group tavelin,
# tvlcheck-other in no group, tvlcheck-admin the only member of group sudo, which
# Debian's 50-default.rules makes the administrators). The real system is not changed, and
# what changes it meanwhile (groupadd, say, which renames a new /etc/group into place and
# so would detach a bind mount over the file) does not reach the copy.
# Subjects are long-running processes of those users; pkcheck asks polkitd about them,
# and an administrator's password is typed into pkcheck's own text agent through script(1).
#
# Exits 1 when any answer differs from the expected one.
#   sudo tools/check-polkit-rules.sh
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
policy="$repo/deploy/polkit/de.morvane.tavelin.policy"
rules_src="$repo/docs/polkit-rules"
doc="$repo/docs/authorization.md"

find_polkitd() {
    local candidate
    for candidate in /usr/lib/polkit-1/polkitd /usr/libexec/polkitd /usr/lib/polkit/polkitd; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if [ "${TAVELIN_POLKIT_CHECK_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "check-polkit-rules: skipped, must run as root" >&2
        exit 77
    fi
    for tool in pkcheck pkaction dbus-daemon dbus-send unshare setpriv script openssl timeout; do
        if ! command -v "$tool" >/dev/null; then
            echo "check-polkit-rules: $tool is missing" >&2
            exit 2
        fi
    done
    if ! find_polkitd >/dev/null; then
        echo "check-polkit-rules: polkitd is missing" >&2
        exit 2
    fi
    export TAVELIN_POLKIT_CHECK_INSIDE=1
    exec unshare --mount --propagation private -- "$BASH" "${BASH_SOURCE[0]}"
fi

# ---- inside the private mount namespace ----------------------------------------------

polkitd="$(find_polkitd)"
work="$(mktemp -d /tmp/check-polkit-rules.XXXXXX)"
failures=0
checks=0
declare -A pid=()
dbus_pid=""
polkitd_pid=""

cleanup() {
    local p
    for p in "${pid[@]}" $polkitd_pid $dbus_pid; do
        kill "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    failures=$((failures + 1))
    echo "FAIL $*"
}

# wait_for WHAT COMMAND...: polls until COMMAND succeeds; gives up after 30 s.
wait_for() {
    local what="$1" tries=0
    shift
    until "$@"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 600 ]; then
            echo "check-polkit-rules: gave up waiting for $what" >&2
            return 1
        fi
        sleep 0.05
    done
}

pass() {
    echo "ok   $*"
}

# -- the documentation shows every rules file exactly as it is

mkdir "$work/rules"
cp "$rules_src"/*.rules "$work/rules/"
for file in "$work"/rules/*.rules; do
    name="$(basename "$file")"
    checks=$((checks + 1))
    # The fenced block after the line that ends in `docs/polkit-rules/NAME`:
    shown="$(awk -v marker="\`docs/polkit-rules/$name\`:" '
        state == 0 && substr($0, length($0) - length(marker) + 1) == marker { state = 1; next }
        state == 1 && /^```/ { state = 2; next }
        state == 2 && /^```/ { exit }
        state == 2 { print }' "$doc")"
    if [ "$shown" == "$(cat "$file")" ]; then
        pass "docs/authorization.md shows $name as it is"
    else
        fail "docs/authorization.md does not show $name as it is"
    fi
done

# -- the action file

if command -v xmllint >/dev/null && [ -f /usr/share/polkit-1/policyconfig-1.dtd ]; then
    checks=$((checks + 1))
    if xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" 2>"$work/xmllint"; then
        pass "the action file is valid against policyconfig-1.dtd"
    else
        fail "the action file is not valid: $(cat "$work/xmllint")"
    fi
else
    echo "skip xmllint or policyconfig-1.dtd missing: the action file is checked by polkitd only"
fi

# -- users and groups, seen by this namespace only

for id in 61001 61002 61003 61010; do
    if getent passwd "$id" >/dev/null || getent group "$id" >/dev/null; then
        echo "check-polkit-rules: id $id is taken on this machine; pick others" >&2
        exit 2
    fi
done
# An account tool's temporary files may vanish while they are copied: they are not missed.
cp -a /etc "$work/etc" 2>/dev/null || true
for file in passwd group shadow nsswitch.conf; do
    if [ ! -f "$work/etc/$file" ]; then
        echo "check-polkit-rules: /etc/$file could not be copied" >&2
        exit 2
    fi
done
mount -t tmpfs -o mode=0755 tmpfs /etc
cp -a "$work/etc/." /etc/
rm -rf "$work/etc"
{
    echo "tvlcheck-member:x:61001:61001::/nonexistent:/usr/sbin/nologin"
    echo "tvlcheck-other:x:61002:61002::/nonexistent:/usr/sbin/nologin"
    echo "tvlcheck-admin:x:61003:61003::/nonexistent:/usr/sbin/nologin"
} >>/etc/passwd
sed -i -e '/^tavelin:/d' -e 's/^sudo:\([^:]*\):\([^:]*\):.*/sudo:\1:\2:tvlcheck-admin/' /etc/group
{
    echo "tvlcheck-member:x:61001:"
    echo "tvlcheck-other:x:61002:"
    echo "tvlcheck-admin:x:61003:"
    echo "tavelin:x:61010:tvlcheck-member"
} >>/etc/group
admin_password="tvlcheck-$RANDOM$RANDOM"
echo "tvlcheck-admin:$(openssl passwd -6 "$admin_password"):19000:0:99999:7:::" >>/etc/shadow

# -- a system bus, the actions, an empty rules folder

mount -t tmpfs tmpfs /run/dbus
dbus_pid="$(dbus-daemon --system --fork --print-pid)"

mount -t tmpfs tmpfs /usr/share/polkit-1/actions
install -m 0644 "$policy" /usr/share/polkit-1/actions/
cat >/usr/share/polkit-1/actions/org.example.tvlcheck.policy <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE policyconfig PUBLIC
 "-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/PolicyKit/1.0/policyconfig.dtd">
<policyconfig>
  <action id="org.example.tvlcheck.unrelated">
    <description>An action of another program</description>
    <message>Another program's action</message>
    <defaults>
      <allow_any>yes</allow_any>
      <allow_inactive>yes</allow_inactive>
      <allow_active>yes</allow_active>
    </defaults>
  </action>
</policyconfig>
EOF

rules_d=/etc/polkit-1/rules.d
if [ ! -d "$rules_d" ]; then
    echo "check-polkit-rules: $rules_d is missing" >&2
    exit 2
fi
mount -t tmpfs tmpfs "$rules_d"
chown polkitd "$rules_d" 2>/dev/null || true
chmod 0700 "$rules_d"
vendor_rules=$(find /usr/share/polkit-1/rules.d -maxdepth 1 -name '*.rules' 2>/dev/null | wc -l)

# A rule that throws is refused by polkitd, which would pass a "no" check for the wrong
# reason: no rule may report an error while the checks run.
stop_polkitd() {
    if [ -n "$polkitd_pid" ]; then
        checks=$((checks + 1))
        if grep -qi 'error' "$work/polkitd.log"; then
            fail "polkitd reported errors while evaluating the rules:"
            grep -i 'error' "$work/polkitd.log" | sed 's/^/     /'
        else
            pass "no rule reported an error"
        fi
        kill "$polkitd_pid" 2>/dev/null || true
        wait "$polkitd_pid" 2>/dev/null || true
        polkitd_pid=""
    fi
}

polkitd_owns_name() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
        grep -q 'boolean true'
}

# use_rules [FILE...]: restarts polkitd with exactly these files from docs/polkit-rules/.
use_rules() {
    stop_polkitd
    rm -f "$rules_d"/*
    local name
    for name in "$@"; do
        install -m 0644 -o root -g root "$work/rules/$name" "$rules_d/$name"
    done
    echo "== rules: ${*:-none, only the defaults of the actions}"
    "$polkitd" >"$work/polkitd.log" 2>&1 &
    polkitd_pid=$!
    local tries=0
    until polkitd_owns_name; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "$polkitd_pid" 2>/dev/null; then
            echo "check-polkit-rules: polkitd did not start:" >&2
            cat "$work/polkitd.log" >&2
            exit 2
        fi
        sleep 0.1
    done
    checks=$((checks + 1))
    local expected=$(($# + vendor_rules))
    if grep -q "Finished loading, compiling and executing $expected rules" "$work/polkitd.log" &&
        ! grep -qi 'error' "$work/polkitd.log"; then
        pass "polkitd loads the $# file(s) without errors"
    else
        fail "polkitd did not load the rules cleanly:"
        sed 's/^/     /' "$work/polkitd.log"
    fi
}

# -- subjects: a process of each test user, and one of root

start_subject() {  # NAME UID
    setpriv --reuid="$2" --regid="$2" --clear-groups sleep 3600 &
    pid[$1]=$!
}
start_subject member 61001
start_subject other 61002
start_subject admin 61003
start_subject other2 61002
sleep 3600 &
pid[root]=$!
# polkitd judges a subject by its uid, which is its own once it runs sleep.
sleep_path="$(readlink -f "$(command -v sleep)")"
runs_sleep() {
    [ "$(readlink "/proc/$1/exe" 2>/dev/null)" == "$sleep_path" ]
}
for who in "${!pid[@]}"; do
    wait_for "subject $who to start" runs_sleep "${pid[$who]}"
done

answer_code() {
    case "$1" in
        yes) echo 0 ;;
        no) echo 1 ;;
        auth) echo 2 ;;
        *) echo "check-polkit-rules: unknown answer $1" >&2; exit 2 ;;
    esac
}

answer_name() {
    case "$1" in
        0) echo yes ;;
        1) echo no ;;
        2) echo auth ;;
        *) echo "other($1)" ;;
    esac
}

# expect ANSWER SUBJECT ACTION [KEY VALUE]...: pkcheck without interaction must answer
# ANSWER (yes, no, auth = authentication needed). ACTION is short for
# de.morvane.tavelin.ACTION unless it holds a dot.
expect() {
    local want="$1" who="$2" action="$3"
    shift 3
    [[ "$action" == *.* ]] || action="de.morvane.tavelin.$action"
    local args=() shown=""
    while [ $# -gt 0 ]; do
        args+=(--detail "$1" "$2")
        local value="$2"
        [ "${#value}" -le 80 ] || value="${value:0:60}...(${#2} bytes)"
        shown+=" $1=$value"
        shift 2
    done
    local got=0
    pkcheck --action-id "$action" --process "${pid[$who]}" "${args[@]}" >"$work/pkcheck.out" 2>&1 ||
        got=$?
    checks=$((checks + 1))
    local line
    line="$(printf '%-4s %-8s %s%s' "$want" "$who" "${action#de.morvane.tavelin.}" "$shown")"
    if [ "$got" == "$(answer_code "$want")" ]; then
        pass "$line"
    else
        fail "$line: answered $(answer_name "$got")"
        sed 's/^/     /' "$work/pkcheck.out"
    fi
}

# The agent asks for the password (or has ended): the prompt is out and echo is off on its
# terminal. It turns echo off flushing the terminal's input, so nothing may be typed before.
agent_asks() {  # SCRIPT-PID
    ! kill -0 "$1" 2>/dev/null || {
        grep -q 'Password:' "$work/agent.log" 2>/dev/null && [ -s "$work/agent.tty" ] &&
            stty -F "$(cat "$work/agent.tty")" -a 2>/dev/null | grep -qw -- '-echo'
    }
}

# authenticate SUBJECT ACTION PASSWORD: pkcheck with its own text agent on a terminal,
# typing PASSWORD at the prompt. Leaves the exit status in $auth_status and the
# conversation in $work/agent.log.
authenticate() {
    local who="$1" action="de.morvane.tavelin.$2" password="$3"
    rm -f "$work/agent.in" "$work/agent.log" "$work/agent.tty"
    mkfifo "$work/agent.in"
    timeout 60 script -qec "tty >$work/agent.tty; exec pkcheck --action-id $action \
        --process ${pid[$who]} --allow-user-interaction --enable-internal-agent" /dev/null \
        <"$work/agent.in" >"$work/agent.log" 2>&1 &
    local script_pid=$!
    exec 7>"$work/agent.in"
    wait_for "the agent to ask for the password" agent_asks "$script_pid" || true
    printf '%s\n' "$password" >&7 2>/dev/null || true
    exec 7>&-
    auth_status=0
    wait "$script_pid" || auth_status=$?
}

expect_authentication() {  # ANSWER SUBJECT ACTION PASSWORD-KIND
    local want="$1" who="$2" action="$3" kind="$4" password="$admin_password"
    [ "$kind" == right ] || password="not-$admin_password"
    authenticate "$who" "$action" "$password"
    checks=$((checks + 1))
    local line
    line="$(printf '%-4s %-8s %s, typing the %s password of tvlcheck-admin' \
        "$want" "$who" "$action" "$kind")"
    if [ "$auth_status" == "$(answer_code "$want")" ] &&
        grep -q 'Authenticating as: tvlcheck-admin' "$work/agent.log"; then
        pass "$line (the agent asked for it)"
    else
        fail "$line: answered $(answer_name "$auth_status")"
        tr -d '\r' <"$work/agent.log" | sed 's/^/     /'
    fi
}

caches='["/Library/Caches/a","/Library/Logs/b.log","/System/Library/Caches/c","/private/var/folders/d"]'

# ---- the actions and their defaults ----------------------------------------------------

use_rules
checks=$((checks + 1))
ids="$(pkaction | grep -c '^de\.morvane\.tavelin\.' || true)"
verbose="$(pkaction --verbose)"
if [ "$ids" == 3 ] &&
    [ "$(grep -c '^  vendor: *Morvane$' <<<"$verbose")" -ge 3 ] &&
    [ "$(grep -cE '^  implicit (any|inactive): *auth_admin_keep$' <<<"$verbose")" -ge 6 ] &&
    [ "$(grep -cE '^  implicit active: *yes$' <<<"$verbose")" -ge 3 ]; then
    pass "polkitd knows 3 actions of vendor Morvane, each allowed in an active session and for an administrator's password otherwise"
else
    fail "polkitd does not know the three actions as expected:"
    grep -A9 '^de\.morvane' <<<"$verbose" | sed 's/^/     /'
fi
if command -v gdbus >/dev/null; then
    checks=$((checks + 1))
    enumerate() {
        gdbus call --system --dest org.freedesktop.PolicyKit1 \
            --object-path /org/freedesktop/PolicyKit1/Authority \
            --method org.freedesktop.PolicyKit1.Authority.EnumerateActions "$1"
    }
    german="$(enumerate de_DE.UTF-8)"
    english="$(enumerate C)"
    if [ "$german" != "$english" ] && grep -q 'Systemaktualisierungen installieren' <<<"$german" &&
        grep -q 'Install system updates' <<<"$english"; then
        pass "the actions read German for locale de_DE.UTF-8 and English for C"
    else
        fail "the actions' German texts are not served"
    fi
fi
# Outside any session (this machine's test users are), the defaults ask for an
# administrator, of administrators too; root is served.
expect auth other remove-system-paths paths "$caches"
expect auth other remove-system-paths paths '["/private/var/log/syslog"]'
expect auth other repair-permissions path /Library/Anything
expect auth other install-system-updates
expect auth admin repair-permissions path /Library/Anything
expect yes  root  remove-system-paths paths "$caches"

# ---- 70: everyone, without a password ---------------------------------------------------

use_rules 70-tavelin-everyone.rules
expect yes other remove-system-paths paths "$caches"
expect yes other repair-permissions path /Library/Anything
expect yes other install-system-updates
expect yes other org.example.tvlcheck.unrelated

# ---- 60: local, active sessions only ----------------------------------------------------
# This machine may have no login manager: then no process is in a session, so every
# subject is neither local nor active, and the rule refuses every ordinary user.

use_rules 60-tavelin-local-only.rules
expect no   other  remove-system-paths paths "$caches"
expect no   member repair-permissions path /Library/Morvane/x
expect no   other  install-system-updates
expect yes  root   install-system-updates
expect yes  other  org.example.tvlcheck.unrelated

# ---- 61: updates need an administrator --------------------------------------------------

use_rules 61-tavelin-updates-admin.rules 70-tavelin-everyone.rules
expect auth other  install-system-updates
checks=$((checks + 1))
if grep -q 'retains_authorization_after_challenge=1' "$work/pkcheck.out"; then
    pass "the administrator's authentication is kept for a while (auth_admin_keep)"
else
    fail "the administrator's authentication is not kept:"
    sed 's/^/     /' "$work/pkcheck.out"
fi
expect auth admin  install-system-updates
expect yes  root   install-system-updates
expect yes  other  remove-system-paths paths '["/private/var/log/syslog"]'
expect yes  other  repair-permissions path /Library/Anything
expect_authentication no  member install-system-updates wrong
expect auth member install-system-updates
expect_authentication yes other install-system-updates right
expect yes  other  install-system-updates
expect auth other2 install-system-updates

# ---- 62: /private/var/log and repairs for group tavelin only ----------------------------

use_rules 62-tavelin-group.rules 70-tavelin-everyone.rules
expect yes member remove-system-paths paths '["/private/var/log/syslog","/Library/Caches/a"]'
expect yes member repair-permissions path /Library/Anything
expect yes other  remove-system-paths paths "$caches"
expect yes other  remove-system-paths paths '[]'
expect yes other  remove-system-paths paths '["/private/var/log2/x","/private/var/logs/y"]'
expect yes other  remove-system-paths paths '["/private/var/folders/log/x","/Library/Logs/private/var/log/z"]'
expect no  other  remove-system-paths paths '["/Library/Caches/a","/private/var/log/syslog"]'
expect no  other  remove-system-paths paths '["/private/var/log/apt"]'
expect no  other  remove-system-paths paths '["/private/var//log/x"]'
expect no  other  remove-system-paths paths '["/private/./var/log/x"]'
expect no  other  remove-system-paths paths '["//private/var/log/x"]'
expect no  other  remove-system-paths paths '["private/var/log/x"]'
expect no  other  remove-system-paths paths '["/private/var/folders/../log/x"]'
expect no  other  remove-system-paths paths '["/../private/var/log/x"]'
expect no  other  remove-system-paths paths '["\/private\/var\/log\/x"]'
expect no  other  remove-system-paths paths '["/private/var/log/"]'
expect no  other  remove-system-paths paths '["/Library/Caches/a",""]'
expect no  other  remove-system-paths paths '["/Library/Caches/a",5]'
expect no  other  remove-system-paths paths '["/Library/Caches/a\u0000/private/var/log/x"]'
expect no  other  remove-system-paths paths '{"0":"/Library/Caches/a"}'
expect no  other  remove-system-paths paths '"/Library/Caches/a"'
expect no  other  remove-system-paths paths 'not json'
expect no  other  remove-system-paths
many="$(printf '"/Library/Caches/folder-of-some-application/%05d",' $(seq 1 1500))"
expect yes other  remove-system-paths paths "[${many%,}]"
expect no  other  remove-system-paths paths "[${many}\"/private/var/log/last\"]"
expect no  other  repair-permissions path /Library/Anything
expect no  admin  repair-permissions path /Library/Caches/x
expect yes other  install-system-updates
expect yes root   repair-permissions path /Library/Anything

# ---- 63: repairs only below /Library/Morvane --------------------------------------------

use_rules 63-tavelin-repair-folder.rules 70-tavelin-everyone.rules
expect yes other repair-permissions path /Library/Morvane/x
expect yes other repair-permissions path /Library/Morvane/sub/dir/file
expect yes other repair-permissions path /Library/Morvane//x
expect yes other repair-permissions path /Library/Morvane/./x/
expect yes other repair-permissions path /Library/Morvane/a..b
expect no  other repair-permissions path /Library/Morvane2/x
expect no  other repair-permissions path /Library/Morvane2
expect no  other repair-permissions path /Library/Morvane
expect no  other repair-permissions path /Library/Morvane/
expect no  other repair-permissions path /Library/Morvane/.
expect no  other repair-permissions path /Library/Morvane/../Other/x
expect no  other repair-permissions path /Library/Morvane/x/..
expect no  other repair-permissions path /Library/Morvane/x/../y
expect no  other repair-permissions path /Library/Caches/x
expect no  other repair-permissions path /Library/morvane/x
expect no  other repair-permissions path /Library
expect no  other repair-permissions path ""
expect no  other repair-permissions
expect yes other remove-system-paths paths '["/private/var/log/syslog"]'
expect yes other install-system-updates

# ---- together ---------------------------------------------------------------------------

use_rules 61-tavelin-updates-admin.rules 62-tavelin-group.rules 63-tavelin-repair-folder.rules \
    70-tavelin-everyone.rules
expect yes  member repair-permissions path /Library/Morvane/x
expect no   member repair-permissions path /Library/Caches/x
expect no   other  repair-permissions path /Library/Morvane/x
expect yes  member remove-system-paths paths '["/private/var/log/syslog"]'
expect no   other  remove-system-paths paths '["/private/var/log/syslog"]'
expect yes  other  remove-system-paths paths "$caches"
expect auth member install-system-updates

use_rules 60-tavelin-local-only.rules 61-tavelin-updates-admin.rules \
    62-tavelin-group.rules 63-tavelin-repair-folder.rules 70-tavelin-everyone.rules
expect no   other  install-system-updates
expect no   member repair-permissions path /Library/Morvane/x
expect yes  root   repair-permissions path /Library/Caches/x
expect yes  other  org.example.tvlcheck.unrelated

stop_polkitd
echo
if [ "$failures" -gt 0 ]; then
    echo "$failures of $checks checks failed"
    exit 1
fi
echo "all $checks checks passed"
