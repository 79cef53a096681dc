#!/usr/bin/env bash
# The candidates that bash's completion offers (folders, titles, providers, languages, commands); zsh's script parses.
#   tests/completions.sh <folder holding the built quillet>
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "$1" && pwd)"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
export PATH="$bin:/usr/bin:/bin" LANG=C.UTF-8 TZ=UTC
store="$scratch/store"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/app.quillet.mac"
cat >"$XDG_CONFIG_HOME/app.quillet.mac/preferences.json" <<EOF
{"storagePath": "$store",
 "providers": [{"id": "meu-servidor", "name": "Meu", "kind": "openAI", "baseURL": "http://127.0.0.1:9/v1",
                "model": "m", "requiresKey": false}]}
EOF
meeting() {  # folder, title, start
  mkdir -p "$store/$1"
  printf '{"id": "%s", "title": "%s", "start": "%s", "language": "pt-BR", "attendees": []}' \
    "$(cat /proc/sys/kernel/random/uuid)" "$2" "$3" >"$store/$1/meta.json"
}
meeting "2025-03-18 1130 Weekly sync" "Weekly sync" 2025-03-18T11:30:00Z
meeting "2025-03-19 0900 Revisão de arquitetura" "Revisão de arquitetura" 2025-03-19T09:00:00Z
meeting "2025-03-20 1000 Weekly planning" "Weekly planning" 2025-03-20T10:00:00Z
meeting "2025-03-17 1500 1-1 Ana-Bruno" "1:1 Ana/Bruno" 2025-03-17T15:00:00Z
cd "$store"

# The completion function called as readline would.
bash_candidates() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="${LINE:-$*}"; COMP_POINT=${#COMP_LINE}
    _quillet quillet "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' bash "$source_dir/completions/quillet.bash" "$@"
}

failures=0
check() {  # description, expected candidates (one a line), words after "quillet"
  local expected actual
  expected="$(printf '%s\n' "$2" | sort)"
  actual="$(bash_candidates quillet "${@:3}" | sort -u | sed '/^$/d')"
  [ "$expected" = "$actual" ] && return
  echo "FAIL $1: expected $(echo "$expected" | tr '\n' '|'), got $(echo "$actual" | tr '\n' '|')"
  failures=$((failures + 1))
}

check "a folder with spaces is one candidate" "2025-03-18 1130 Weekly sync" enhance "2025-03-18"
check "a provider id of the catalog" "groq" enhance --provider gr
check "a provider id that the preferences add" "meu-servidor" ai test --provider meu
check "the languages" $'pt-BR\nen-US' transcribe --lang ""
check "command words" $'transcribe\ntrash' tr
check "meeting titles" $'Weekly sync\nWeekly planning' export Weekly
check "a title with spaces and an accent" "Revisão de arquitetura" trash Revis
# Bash hands a colon to readline as a word of its own; what follows it is replaced.
LINE='quillet export 1:1\ A' check "a title with a colon" "1 Ana/Bruno" export 1 : '1\ A'

# zsh's script is shipped too: it must at least parse.
zsh -n "$source_dir/completions/_quillet" || { echo "FAIL zsh completion does not parse"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "completions OK"
exit $((failures > 0))
