#!/bin/sh
# The demo: two stand-in single-sign-on instances on loopback whose server
# certificates idferry verifies (--tls-ca), a check that finds conflicts, then
# a full migration with cleanup and a per-user report, the target's users
# before and after, and the report. Uses the Release binaries in the given build directory.
# Leaves no process running and removes its scratch directory.
set -eu

build=${1:-build/release}
idferry="$build/src/idferry"
appcert="$build/tools/idferry-appcert"
standin="$build/tools/standin/tessad-standin"
for p in "$idferry" "$appcert" "$standin"; do
  [ -x "$p" ] || { echo "demo: $p is not built (run: make release)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/idferry-demo.XXXXXX)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

say() { printf '\n== %s\n' "$*"; }

say "Application certificates (idferry-appcert)"
"$appcert" "Demo CA" --out "$work/ca.pem"
"$appcert" 127.0.0.1 --server 127.0.0.1 --ca "$work/ca.pem" --out "$work/server.pem"
# The CA's certificate alone: what idferry trusts the instances by.
sed -n '/BEGIN CERTIFICATE/,/END CERTIFICATE/p' "$work/ca.pem" > "$work/trusted.pem"
"$appcert" crm --out "$work/crm.pem"        # the application on the source
"$appcert" portal --out "$work/portal.pem"  # the application on the target
echo "made crm.pem (source application), portal.pem (target application), and the"
echo "instances' server certificate under Demo CA (trusted.pem holds its certificate)"

# Seed files: tab-separated; "userpw" lines store a password hashed by the
# instance itself, as a real instance would hold it.
tab=$(printf '\t')
cat > "$work/source.seed" <<SEED
app${tab}crm${tab}CRM
userpw${tab}crm-0001${tab}anna${tab}anna-secret${tab}crm
userpw${tab}crm-0002${tab}bob${tab}bob-secret${tab}crm
userpw${tab}crm-0003${tab}user7${tab}user7-secret${tab}crm
userpw${tab}crm-0004${tab}anna1${tab}anna1-secret${tab}crm
userpw${tab}crm-0005${tab}dave${tab}dave-secret${tab}crm
SEED
cat > "$work/target.seed" <<SEED
app${tab}portal${tab}Portal
app${tab}billing${tab}Billing
userpw${tab}pt-0101${tab}anna${tab}other-anna${tab}billing
userpw${tab}pt-0102${tab}bob${tab}old-bob${tab}portal
userpw${tab}pt-0103${tab}user7${tab}other-user7${tab}billing
userpw${tab}pt-0104${tab}erin${tab}erin-secret${tab}portal
SEED

start() {  # name
  "$standin" --db "$work/$1.db" --seed "$work/$1.seed" --tls-cert "$work/server.pem" \
    --ca "$work/ca.pem" --port-file "$work/$1.port" > /dev/null 2> "$work/$1.log" &
  pids="$pids $!"
}
start source
start target
for name in source target; do
  i=0
  while [ ! -s "$work/$name.port" ]; do
    i=$((i + 1))
    [ $i -le 100 ] || { echo "demo: the $name instance did not start:" >&2; cat "$work/$name.log" >&2; exit 1; }
    sleep 0.1
  done
done
src_url="https://127.0.0.1:$(cat "$work/source.port")/"
dst_url="https://127.0.0.1:$(cat "$work/target.port")/"
echo "source instance $src_url, target instance $dst_url"

users() {  # name
  sqlite3 -header -column "$work/$1.db" \
    "SELECT CAST(login AS TEXT) AS login, CAST(id AS TEXT) AS user_id,
            CAST(owner AS TEXT) AS application, CAST(hash_type AS TEXT) AS hash_type,
            substr(CAST(password_hash AS TEXT), 1, 24) || '...' AS password_hash
     FROM users ORDER BY seq"
}

say "Source users (application crm)"
users source
say "Target users before"
users target

run() {
  echo "\$ idferry $*"
  set +e
  "$idferry" "$@" --app-from-cert "$work/crm.pem" --app-to-cert "$work/portal.pem" \
    --sso-from-url "$src_url" --sso-to-url "$dst_url" --tls-ca "$work/trusted.pem"
  status=$?
  set -e
  echo "(exit status $status)"
}

say "Check: logins that would collide on the target"
run check
say "Migration: auto --verify --report report.csv --cleanup --verbose"
run auto --verify --report "$work/report.csv" --cleanup --verbose

say "The report (report.csv)"
cat "$work/report.csv"
say "Target users after"
users target
say "Source users after the cleanup"
users source
echo "(none: unregistering the crm application removed them from the source)"
say "Without the instances' CA, the same check is refused before any user is read"
"$appcert" "Other CA" --out "$work/other.pem"
sed -n '/BEGIN CERTIFICATE/,/END CERTIFICATE/p' "$work/other.pem" > "$work/trusted.pem"
run check
