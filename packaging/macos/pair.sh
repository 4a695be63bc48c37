#!/bin/bash
# Pairs this Mac with the accountability account whose refresh token is given: hands the
# token to vesk-dnsd's control API, which spends it once at the backend to learn the
# account, keeps the token the backend rotated it to and starts reporting blocks. The
# token given is consumed: get a fresh one to pair again.
#
#   pair.sh [--pin PIN] [TOKEN | -]
#
# Without TOKEN (or with "-") the token is read from one line of standard input, which
# keeps it out of the shell's history and the process list. A device already paired with
# another account and guarded by a PIN needs that PIN (--pin, or VESK_PIN).
# VESK_CONTROL_PORT names the control port when it is not 5355.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$here/common.sh"

usage() {
  echo "usage: $(basename "$0") [--pin PIN] [TOKEN | -]" >&2
  exit 2
}

pin=${VESK_PIN:-}
token=-
have_token=no
while [[ $# -gt 0 ]]; do
  case $1 in
    --pin)
      [[ $# -ge 2 ]] || usage
      pin=$2
      shift 2
      ;;
    -h | --help) usage ;;
    *)
      [[ $have_token == no ]] || usage
      token=$1
      have_token=yes
      shift
      ;;
  esac
done

if [[ $token == - ]]; then
  token=$(read_secret 'Refresh token: ')
fi
token=$(trim "$token")
if [[ -z $token ]]; then
  echo "error: empty refresh token; pass the one the companion application shows" >&2
  exit 1
fi

body="{\"refreshToken\":\"$(json_escape "$token")\""
if [[ -n $pin ]]; then
  body="$body,\"pin\":\"$(json_escape "$pin")\""
else
  # shellcheck disable=SC2034 # read by explain_failure
  vesk_pin_hint="this device is paired to another account and guarded by a PIN; run again with --pin PIN and a fresh token (this one was spent learning its account)"
fi
body="$body}"

post_json /pair "$body"
[[ -z $answer_body ]] || echo "$answer_body"
if [[ $answer_status != 200 ]]; then
  explain_failure
  exit 1
fi
