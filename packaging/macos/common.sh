#!/bin/bash
# Helpers shared by pair.sh, uninstall.sh and install.sh; sourced, and installed beside
# pair.sh and uninstall.sh. Plain bash 3.2, as macOS ships it.

vesk_label=app.quorran.tarnik.dnsd
vesk_api="http://127.0.0.1:${VESK_CONTROL_PORT:-5355}"

# The text as the contents of a JSON string: quote, backslash and every control character
# escaped, so that no token or PIN can break out of its member.
json_escape() {
  local in=$1 out="" c code i
  for ((i = 0; i < ${#in}; i++)); do
    c=${in:i:1}
    case $c in
      '"') out="$out\\\"" ;;
      \\) out="$out\\\\" ;;
      $'\n') out="$out\\n" ;;
      $'\r') out="$out\\r" ;;
      $'\t') out="$out\\t" ;;
      [[:cntrl:]])
        printf -v code '\\u%04x' "'$c"
        out="$out$code"
        ;;
      *) out="$out$c" ;;
    esac
  done
  printf '%s' "$out"
}

# The same for XML text (the job definition's strings).
xml_escape() {
  local in=$1 out="" c i
  for ((i = 0; i < ${#in}; i++)); do
    c=${in:i:1}
    case $c in
      '&') out="$out&amp;" ;;
      '<') out="$out&lt;" ;;
      '>') out="$out&gt;" ;;
      '"') out="$out&quot;" ;;
      "'") out="$out&apos;" ;;
      *) out="$out$c" ;;
    esac
  done
  printf '%s' "$out"
}

# A secret read from standard input: asked for without echo at a terminal (the prompt on
# standard error), else the first line of what is piped in. Printed on standard output.
read_secret() {
  local prompt=$1 secret=""
  if [[ -t 0 ]]; then
    printf '%s' "$prompt" >&2
    IFS= read -rs secret || true
    echo >&2
  else
    IFS= read -r secret || true
  fi
  printf '%s' "$secret"
}

# The text without leading and trailing white space.
trim() {
  local s=$1
  s=${s#"${s%%[![:space:]]*}"}
  s=${s%"${s##*[![:space:]]}"}
  printf '%s' "$s"
}

# POSTs the JSON body to the control API's path. Sets answer_status (000 when the daemon
# could not be reached) and answer_body. The body goes to curl on its standard input, so
# that no token or PIN shows in the process list; no .curlrc or proxy setting can redirect
# or reshape a call that never leaves this machine.
post_json() {
  local path=$1 body=$2 response
  answer_status=000
  answer_body=""
  if ! response=$(curl -q --noproxy '*' --silent --show-error --max-time 30 -H 'Content-Type: application/json' \
    --data-binary @- --write-out '\n%{http_code}' "$vesk_api$path" <<<"$body"); then
    return 0
  fi
  answer_status=${response##*$'\n'}
  answer_body=${response%$'\n'*}
}

# One line on standard error saying what went wrong, from the control API's answer.
explain_failure() {
  local code="" number="" re_code='"error":"([A-Za-z_]+)"' re_number='"(remaining|seconds)":([0-9]+)'
  if [[ $answer_status == 000 ]]; then
    echo "error: cannot reach vesk-dnsd's control API at $vesk_api; is the daemon running? (sudo launchctl print system/$vesk_label)" >&2
    return 0
  fi
  if [[ $answer_body =~ $re_code ]]; then code=${BASH_REMATCH[1]}; fi
  if [[ $answer_body =~ $re_number ]]; then number=${BASH_REMATCH[2]}; fi
  case $code in
    missing_token) echo "error: the daemon received no refresh token" >&2 ;;
    wrong_pin)
      if [[ -n ${vesk_pin_hint:-} ]]; then
        echo "error: $vesk_pin_hint" >&2
      else
        echo "error: wrong PIN; $number more wrong ones lock PIN checks for 5 minutes" >&2
      fi
      ;;
    locked) echo "error: too many wrong PINs; PIN checks are locked for another $number seconds" >&2 ;;
    no_pin) echo "error: no PIN has been set yet; set one in the companion application first" >&2 ;;
    write_failed) echo "error: the daemon could not write its token file (see /var/log/vesk-dnsd.log)" >&2 ;;
    "") echo "error: unexpected answer from the control API (HTTP $answer_status)" >&2 ;;
    *) echo "error: the control API refused the request: $code (HTTP $answer_status)" >&2 ;;
  esac
}
