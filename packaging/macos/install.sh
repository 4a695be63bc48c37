#!/bin/bash
# Builds vesk-dnsd from this checkout and installs it as a launchd system daemon:
#
#   sudo packaging/macos/install.sh [--supabase-url URL --anon-key KEY] [--blocklist FILE]
#                                   [--blocklist-urls URL[,URL...]]
#
# Without the backend's URL and key the filter runs with alert reporting off. The daemon
# downloads the lists at --blocklist-urls (two public adult-domain lists when none are
# given) once it runs and keeps them current: nothing is fetched at install time. A list
# file of the user's own is blocked as well. Safe to run
# again: the files are replaced, the token and PIN kept, and the daemon restarted. It
# builds in build-install beside this checkout (VESK_BUILD_DIR names another place).
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
  echo "usage: sudo $0 [--supabase-url URL --anon-key KEY] [--blocklist FILE] [--blocklist-urls URL[,URL...]]" >&2
  exit 2
}

url=""
key=""
blocklist=""
# Sinfonietta/hostfiles (MIT), a hosts file; ShadowWhisperer/BlockLists (Unlicense), a plain list.
list_urls=https://raw.githubusercontent.com/Sinfonietta/hostfiles/HEAD/pornography-hosts,https://raw.githubusercontent.com/ShadowWhisperer/BlockLists/HEAD/RAW/Adult
while [[ $# -gt 0 ]]; do
  case $1 in
    --supabase-url | --anon-key | --blocklist | --blocklist-urls)
      [[ $# -ge 2 && -n $2 ]] || usage
      case $1 in
        --supabase-url) url=$2 ;;
        --anon-key) key=$2 ;;
        --blocklist) blocklist=$2 ;;
        --blocklist-urls) list_urls=$2 ;;
      esac
      shift 2
      ;;
    *) usage ;;
  esac
done

if [[ -n $url && -z $key ]] || [[ -z $url && -n $key ]]; then
  die "--supabase-url and --anon-key go together"
fi
# Clear text only to this machine: no one on the way may read the token or swap a list.
secure_url() {
  case $1 in
    https://?* | http://127.* | http://localhost | http://localhost[:/]* | "http://[::1]"*) return 0 ;;
    *) return 1 ;;
  esac
}
[[ -z $url ]] || secure_url "$url" || die "--supabase-url must be https:// (or http:// to this machine)"
IFS=, read -r -a list_url_array <<<"$list_urls"
for list_url in "${list_url_array[@]}"; do
  secure_url "$list_url" || die "--blocklist-urls: $list_url is not https:// (or http:// to this machine)"
done
[[ -z $blocklist || (-f $blocklist && -r $blocklist) ]] || die "cannot read the blocklist $blocklist"

# On Linux a simulated Mac (VESK_HOST_ROOT, as for the daemon) stands in for this one.
root=""
launchctl=launchctl
if [[ $(uname -s) != Darwin && -n ${VESK_HOST_ROOT:-} ]]; then
  root=${VESK_HOST_ROOT%/}
  launchctl=$root/bin/launchctl
fi
label=$vesk_label
# Only where root alone can write, even on a Mac where Homebrew has given /usr/local to
# the user: the daemon refuses state that anyone else could move aside.
app="$root/Library/Application Support/Vesk"
state=$root/var/db/vesk
job=/Library/LaunchDaemons/$label.plist
# Where earlier versions put them.
old_state=$root/usr/local/etc/vesk
old_files=("$root/usr/local/libexec/vesk-dnsd" "$root/usr/local/share/vesk" "$old_state")
build=${VESK_BUILD_DIR:-$repo/build-install}

# What the build needs comes from Homebrew, looked for before root is asked for. Root's
# PATH under sudo seldom has brew, so it is also looked for where Homebrew installs
# itself (Apple silicon, then Intel); the simulated Mac has its own.
formulae=(asio fmt icu4c nlohmann-json openssl@3)
brew=""
if [[ $(uname -s) == Darwin ]]; then
  for candidate in "$(command -v brew || true)" /opt/homebrew/bin/brew /usr/local/bin/brew; do
    if [[ -n $candidate && -x $candidate ]]; then brew=$candidate && break; fi
  done
  [[ -n $brew ]] || die "Homebrew is missing: install it (https://brew.sh), then run scripts/setup (or: brew install cmake ${formulae[*]})"
elif [[ -n $root ]]; then
  brew=$root/opt/homebrew/bin/brew
fi
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF)
if [[ -n $brew ]]; then
  prefixes="" missing=""
  for formula in "${formulae[@]}"; do
    # brew names a formula's prefix whether it is installed or not: the directory tells.
    # Homebrew may refuse to run as root: under sudo it asks as the user who ran sudo.
    if [[ $EUID -eq 0 && -n ${SUDO_USER:-} && ${SUDO_USER:-} != root ]]; then
      prefix=$(sudo -u "$SUDO_USER" "$brew" --prefix "$formula" 2>/dev/null) || prefix=""
    else
      prefix=$("$brew" --prefix "$formula" 2>/dev/null) || prefix=""
    fi
    if [[ -z $prefix || ! -d $root$prefix ]]; then
      missing="$missing $formula"
      continue
    fi
    prefixes="$prefixes;$root$prefix"
    [[ $formula != openssl@3 ]] || cmake_args+=("-DOPENSSL_ROOT_DIR=$root$prefix")
  done
  [[ -z $missing ]] || die "the build needs${missing} from Homebrew: brew install${missing}"
  cmake_args+=("-DCMAKE_PREFIX_PATH=${prefixes#;}")
fi
cmake=$(command -v cmake || true)
if [[ -z $cmake && -n $brew && -x $(dirname "$brew")/cmake ]]; then cmake=$(dirname "$brew")/cmake; fi
[[ -n $cmake ]] || die "cmake is missing: brew install cmake (or run scripts/setup)"

[[ $EUID -eq 0 ]] || die "must run as root (sudo $0 ...): it installs a system daemon"

echo "Building vesk-dnsd (Release) in $build ..."
"$cmake" -S "$repo" -B "$build" "${cmake_args[@]}" >/dev/null
"$cmake" --build "$build" --target vesk-dnsd
binary=$build/vesk_dnsd/vesk-dnsd
[[ -x $binary ]] || die "the build left no $binary"

# The job definition, written beside its final place and checked before it replaces it.
mkdir -p "$root/Library/LaunchDaemons"
staged=$(mktemp "$root$job.XXXXXX")
trap 'rm -f "$staged"' EXIT
url_xml=$(xml_escape "$url")
key_xml=$(xml_escape "$key")
list_urls_xml=$(xml_escape "$list_urls")
while IFS= read -r line || [[ -n $line ]]; do
  case $line in
    *--supabase-url* | *@SUPABASE_URL@* | *--anon-key* | *@ANON_KEY@*) [[ -n $url ]] || continue ;;
  esac
  case $line in
    *@SUPABASE_URL@*) line=${line%%@SUPABASE_URL@*}$url_xml${line#*@SUPABASE_URL@} ;;
    *@ANON_KEY@*) line=${line%%@ANON_KEY@*}$key_xml${line#*@ANON_KEY@} ;;
    *@BLOCKLIST_URLS@*) line=${line%%@BLOCKLIST_URLS@*}$list_urls_xml${line#*@BLOCKLIST_URLS@} ;;
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

install -d -m 0755 "$app"
chown 0:0 "$app"
chmod 0755 "$app"
install -m 0755 "$binary" "$app/vesk-dnsd"
if [[ -n $blocklist ]]; then
  install -m 0644 "$blocklist" "$app/adult-domains.txt"
  chown 0:0 "$app/adult-domains.txt"
elif cmp -s "$repo/share/adult-domains.sample.txt" "$app/adult-domains.txt"; then
  rm -f "$app/adult-domains.txt"  # an earlier install's sample list, which blocks next to nothing
fi
# The downloaded lists' last good copies: root's, like everything the daemon trusts.
install -d -m 0755 "$app/lists"
chown 0:0 "$app/lists"
chmod 0755 "$app/lists"
install -m 0755 "$here/pair.sh" "$here/uninstall.sh" "$app/"
install -m 0644 "$here/common.sh" "$app/"
chown 0:0 "$app/vesk-dnsd" "$app/pair.sh" "$app/uninstall.sh" "$app/common.sh"
# The PIN's digest, the refresh token and whether filtering is meant to be on: root's alone.
install -d -m 0700 "$state"
chown 0:0 "$state"
chmod 0700 "$state"
# An upgrade keeps them (never may it reset the PIN); what is here already is newer.
for name in pin.hash pin.hash.lock auth.token auth.token.email filter.intended services.seen; do
  if [[ -f $old_state/$name && ! -L $old_state/$name && ! -e $state/$name ]]; then
    cp "$old_state/$name" "$state/$name"
    chown 0:0 "$state/$name"
    chmod 0600 "$state/$name"
    echo "Moved $name from /usr/local/etc/vesk to /var/db/vesk."
  fi
done
rm -rf "${old_files[@]}"
mv -f "$staged" "$root$job"
trap - EXIT
echo "Installed /Library/Application Support/Vesk/{vesk-dnsd,pair.sh,uninstall.sh}${blocklist:+ and adult-domains.txt (from $blocklist)}"
echo "  and $job; the state is kept in /var/db/vesk."
echo "Blocklists: ${list_urls//,/ and }."
echo "  The daemon downloads them once it runs (no network is needed now), keeps the last good"
echo "  copies in /Library/Application Support/Vesk/lists and refreshes them daily."

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
echo "  '/Library/Application Support/Vesk/pair.sh'"
