#!/bin/bash
# Removes vesk-dnsd from this Mac through its control API, which asks for the PIN: the
# daemon restores the DNS settings, removes its files and the job definition, and unloads
# itself.
#
#   uninstall.sh
#
# The PIN is read from the terminal without echo (or one line of standard input when that
# is not a terminal). VESK_CONTROL_PORT names the control port when it is not 5355.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$here/common.sh"

if [[ $# -gt 0 ]]; then
  echo "usage: $(basename "$0")   (the PIN is asked for)" >&2
  exit 2
fi

pin=$(read_secret 'PIN: ')
if [[ -z $pin ]]; then
  echo "error: no PIN given" >&2
  exit 1
fi

post_json /uninstall "{\"pin\":\"$(json_escape "$pin")\"}"
[[ -z $answer_body ]] || echo "$answer_body"
if [[ $answer_status != 200 ]]; then
  explain_failure
  exit 1
fi
echo "vesk-dnsd is uninstalled: DNS settings restored, its files and job definition removed." >&2
