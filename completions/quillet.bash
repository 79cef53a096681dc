# bash completion for quillet
_quillet_provider_ids() {
  local prefs="${XDG_CONFIG_HOME:-$HOME/.config}/app.quillet.mac/preferences.json"
  local ids="anthropic openai openrouter gemini groq deepseek ollama lmstudio custom apple"
  if [ -r "$prefs" ] && command -v python3 >/dev/null; then
    ids+=" $(python3 -c 'import json,sys
try:
    print(" ".join(p["id"] for p in json.load(open(sys.argv[1])).get("providers", []) if isinstance(p, dict) and isinstance(p.get("id"), str)))
except Exception:
    pass' "$prefs" 2>/dev/null)"
  fi
  printf '%s\n' $ids | sort -u
}

# Titles of the store's meetings, one a line, as the tool lists them.
_quillet_meeting_titles() {
  command -v python3 >/dev/null || return
  "${COMP_WORDS[0]}" list --json 2>/dev/null | python3 -c 'import json,sys
try:
    for t in sorted({m["title"] for m in json.load(sys.stdin) if isinstance(m.get("title"), str)}):
        if t.strip() and "\n" not in t: print(t)
except Exception:
    pass' 2>/dev/null
}

# The word as the user means it: an opening quote dropped, backslash escapes
# undone. Readline quotes what we hand back, since candidates are filenames.
_quillet_dequote() {
  local word="$1" out="" i
  case "$word" in
    \"*) word="${word#\"}"; printf '%s' "${word%\"}"; return ;;
    \'*) word="${word#\'}"; printf '%s' "${word%\'}"; return ;;
  esac
  for ((i = 0; i < ${#word}; i++)); do
    if [ "${word:i:1}" = "\\" ]; then
      i=$((i + 1))
    fi
    out+="${word:i:1}"
  done
  printf '%s' "$out"
}

# Adds each line of standard input that starts with `want`, whole, spaces and all.
_quillet_add_lines() {
  local want="$1" line
  while IFS= read -r line; do
    [ -n "$line" ] && [[ "$line" == "$want"* ]] && COMPREPLY+=("$line")
  done
}

# The word being completed as typed: readline starts a new word after a
# colon, so a title such as "1:1 Ana" arrives in pieces, put back together here.
_quillet_whole_word() {
  local i=$COMP_CWORD whole="${COMP_WORDS[COMP_CWORD]}" left="${COMP_LINE:0:COMP_POINT}"
  while ((i > 2)) && [[ "${COMP_WORDS[i-1]}" == *: || "$whole" == :* ]] &&
    [[ "$left" == *"${COMP_WORDS[i-1]}$whole" ]]; do
    i=$((i - 1))
    whole="${COMP_WORDS[i]}$whole"
  done
  printf '%s' "$whole"
}

# A meeting is named by its title or by its folder.
_quillet_meetings() {
  local whole cut="" line
  whole="$(_quillet_dequote "$(_quillet_whole_word)")"
  # Readline replaces only what follows the last colon.
  [[ "$whole" != "$1" && "$whole" == *:* ]] && cut="${whole%:*}:"
  compopt -o filenames 2>/dev/null
  while IFS= read -r line; do
    [ -n "$line" ] && [[ "$line" == "$whole"* ]] && COMPREPLY+=("${line#"$cut"}")
  done < <(_quillet_meeting_titles; compgen -d -- "$whole")
}

_quillet_files() {
  compopt -o filenames 2>/dev/null
  _quillet_add_lines "$1" < <(compgen -f -- "$1")
}

_quillet() {
  local cur prev command
  cur="$(_quillet_dequote "${COMP_WORDS[COMP_CWORD]}")"
  prev="${COMP_WORDS[COMP_CWORD-1]}"
  command="${COMP_WORDS[1]}"
  COMPREPLY=()
  case "$prev" in
    --provider) _quillet_add_lines "$cur" < <(_quillet_provider_ids); return ;;
    --lang) _quillet_add_lines "$cur" < <(printf '%s\n' pt-BR en-US); return ;;
    --model|--base-url|--title) return ;;
  esac
  if [ "$COMP_CWORD" -eq 1 ]; then
    _quillet_add_lines "$cur" < <(printf '%s\n' doctor list transcribe enhance ai record agent search export new trash calendar)
    return
  fi
  case "$command" in
    enhance)
      if [[ "$cur" == -* ]]; then
        _quillet_add_lines "$cur" < <(printf '%s\n' --provider --model --base-url --prompt --save)
      else
        _quillet_meetings "$cur"
      fi ;;
    export)
      if [[ "$cur" == -* ]]; then
        _quillet_add_lines "$cur" < <(printf '%s\n' --slack)
      else
        _quillet_meetings "$cur"
      fi ;;
    trash) _quillet_meetings "$cur" ;;
    new) [[ "$cur" == -* ]] && _quillet_add_lines "$cur" < <(printf '%s\n' --lang) ;;
    list|search|calendar) [[ "$cur" == -* ]] && _quillet_add_lines "$cur" < <(printf '%s\n' --json) ;;
    ai)
      if [ "$COMP_CWORD" -eq 2 ]; then
        _quillet_add_lines "$cur" < <(printf '%s\n' test models)
      else
        _quillet_add_lines "$cur" < <(printf '%s\n' --provider --model --base-url)
      fi ;;
    record)
      [[ "$cur" == -* ]] && _quillet_add_lines "$cur" < <(printf '%s\n' --title --lang) ;;
    transcribe)
      if [[ "$cur" == -* ]]; then
        _quillet_add_lines "$cur" < <(printf '%s\n' --lang)
      else
        _quillet_files "$cur"
      fi ;;
  esac
}
complete -F _quillet quillet
