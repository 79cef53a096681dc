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

_quillet() {
  local cur prev command
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev="${COMP_WORDS[COMP_CWORD-1]}"
  command="${COMP_WORDS[1]}"
  case "$prev" in
    --provider) COMPREPLY=($(compgen -W "$(_quillet_provider_ids)" -- "$cur")); return ;;
    --lang) COMPREPLY=($(compgen -W "pt-BR en-US" -- "$cur")); return ;;
    --model|--base-url|--title) return ;;
  esac
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "doctor list transcribe enhance ai record agent" -- "$cur"))
    return
  fi
  case "$command" in
    enhance)
      if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "--provider --model --base-url --prompt" -- "$cur"))
      else
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
      fi ;;
    ai)
      if [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "test models" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "--provider --model --base-url" -- "$cur"))
      fi ;;
    record)
      COMPREPLY=($(compgen -W "--title --lang" -- "$cur")) ;;
    transcribe)
      if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "--lang" -- "$cur"))
      else
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
  esac
}
complete -F _quillet quillet
