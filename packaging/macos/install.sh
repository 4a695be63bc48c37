#!/bin/bash
# Builds vesk-dnsd from this checkout and installs it as a launchd system daemon:
#
#   sudo packaging/macos/install.sh [--supabase-url URL --anon-key KEY] [--blocklist FILE]
#
# Without the backend's URL and key the filter runs with alert reporting off. Safe to run
# again: the files are replaced, the token and PIN kept, and the daemon restarted.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$here/common.sh"

die() {
  echo "install.sh: $*" >&2
  exit 1
}
usage() {
  echo "usage: sudo $0 [--supabase-url URL --anon-key KEY] [--blocklist FILE]" >&2
  exit 2
}

[[ $EUID -eq 0 ]] || die "must run as root (sudo $0 ...): it installs a system daemon"

url=""
key=""
blocklist=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --supabase-url | --anon-key | --blocklist)
      [[ $# -ge 2 && -n $2 ]] || usage
      case $1 in
        --supabase-url) url=$2 ;;
        --anon-key) key=$2 ;;
        --blocklist) blocklist=$2 ;;
      esac
      shift 2
      ;;
    *) usage ;;
  esac
done

if [[ -n $url && -z $key ]] || [[ -z $url && -n $key ]]; then
  die "--supabase-url and --anon-key go together"
fi
case $url in
  "" | https://* | http://127.* | http://localhost | http://localhost[:/]* | "http://[::1]"*) ;;
  *) die "--supabase-url must be https:// (or http:// to this machine)" ;;
esac
if [[ -z $blocklist ]]; then
  blocklist=$repo/share/adult-domains.sample.txt
  echo "note: installing the small sample blocklist; give a real list with --blocklist FILE" >&2
fi
[[ -f $blocklist && -r $blocklist ]] || die "cannot read the blocklist $blocklist"

# On Linux a simulated Mac (VESK_HOST_ROOT, as for the daemon) stands in for this one.
root=""
launchctl=launchctl
if [[ $(uname -s) != Darwin && -n ${VESK_HOST_ROOT:-} ]]; then
  root=${VESK_HOST_ROOT%/}
  launchctl=$root/bin/launchctl
fi
label=$vesk_label
libexec=$root/usr/local/libexec
share=$root/usr/local/share/vesk
etc=$root/usr/local/etc/vesk
job=/Library/LaunchDaemons/$label.plist

command -v cmake >/dev/null || die "cmake is missing: run scripts/setup first"
echo "Building vesk-dnsd (Release) in $repo/build-install ..."
cmake -S "$repo" -B "$repo/build-install" -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF \
  -DVESK_BUILD_BENCH=OFF >/dev/null
cmake --build "$repo/build-install" --target vesk-dnsd
binary=$repo/build-install/vesk_dnsd/vesk-dnsd
[[ -x $binary ]] || die "the build left no $binary"

# The job definition, written beside its final place and checked before it replaces it.
mkdir -p "$root/Library/LaunchDaemons"
staged=$(mktemp "$root$job.XXXXXX")
trap 'rm -f "$staged"' EXIT
url_xml=$(xml_escape "$url")
key_xml=$(xml_escape "$key")
while IFS= read -r line || [[ -n $line ]]; do
  case $line in
    *--supabase-url* | *@SUPABASE_URL@* | *--anon-key* | *@ANON_KEY@*) [[ -n $url ]] || continue ;;
  esac
  case $line in
    *@SUPABASE_URL@*) line=${line%%@SUPABASE_URL@*}$url_xml${line#*@SUPABASE_URL@} ;;
    *@ANON_KEY@*) line=${line%%@ANON_KEY@*}$key_xml${line#*@ANON_KEY@} ;;
  esac
  printf '%s\n' "$line"
done <"$here/$label.plist" >"$staged"
if command -v plutil >/dev/null; then
  plutil -lint -s "$staged" || die "the job definition is not a valid property list"
fi
# launchd loads a system job only when root:wheel (0:0) owns it and nobody else can write it.
chmod 0644 "$staged"
chown 0:0 "$staged"

# Stopped before its files change, so that launchd never restarts it half-installed.
if out=$("$launchctl" bootout "system/$label" 2>&1); then
  echo "Stopped the running daemon."
else
  status=$?
  # 3 and 113: it was not loaded.
  if [[ $status -ne 3 && $status -ne 113 ]]; then
    echo "warning: launchctl bootout system/$label: $out" >&2
  fi
fi

install -d -m 0755 "$libexec" "$share"
install -m 0755 "$binary" "$libexec/vesk-dnsd"
install -m 0644 "$blocklist" "$share/adult-domains.txt"
install -m 0755 "$here/pair.sh" "$here/uninstall.sh" "$share/"
install -m 0644 "$here/common.sh" "$share/"
chown 0:0 "$libexec/vesk-dnsd" "$share/adult-domains.txt" "$share/pair.sh" "$share/uninstall.sh" "$share/common.sh"
# The refresh token and the PIN's digest live here: root's alone.
install -d -m 0700 "$etc"
chmod 0700 "$etc"
mv -f "$staged" "$root$job"
trap - EXIT
echo "Installed /usr/local/libexec/vesk-dnsd, /usr/local/share/vesk/{adult-domains.txt,pair.sh,uninstall.sh}"
echo "  and $job (blocklist from $blocklist)."

# launchd can take a moment to let go of a job it has just booted out.
for attempt in 1 2 3 4 5; do
  if out=$("$launchctl" bootstrap system "$job" 2>&1); then break; fi
  [[ $attempt -lt 5 ]] || die "launchctl bootstrap system $job failed: $out"
  sleep 1
done
echo "Started system/$label; its log is /var/log/vesk-dnsd.log."

if [[ -z $url ]]; then
  echo "Alert reporting is off (no --supabase-url/--anon-key); run this again with them to turn it on."
fi
echo "Next: pair this Mac with the account; paste the refresh token the companion application shows:"
echo "  /usr/local/share/vesk/pair.sh"
