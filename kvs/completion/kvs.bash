# kvs.bash: bash completion for kvs: its commands, each command's options,
# store files (*.kvs) and, for get and delete, the keys of the store named.
_kvs() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="get list count stats dump check export dump-records load import create put delete compact salvage help"

  # The command is the first word after the program that is not an option.
  local i command="" operands=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --wait | --format) ((i++)) ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=${words[i]}; else ((operands++)); fi ;;
    esac
  done

  case $prev in
    --wait) return ;;
    --format) COMPREPLY=($(compgen -W "cdb tsv jsonl" -- "$cur")); return ;;
  esac
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi

  local options="--help --wait"
  case $command in
    get) options+=" --text" ;;
    list) options+=" -0" ;;
    stats) options+=" --json" ;;
    dump) options+=" --free" ;;
    export) options+=" --skip-unexpressible" ;;
    load | create) options+=" --unsorted --case-sensitive" ;;
    import) options+=" --format --unsorted --case-sensitive" ;;
    help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi

  if ((operands == 0)); then
    # The store.
    COMPREPLY=($(compgen -f -X '!*.kvs' -- "$cur") $(compgen -d -- "$cur"))
    compopt -o filenames 2>/dev/null
    return
  fi
  case $command in
    get | delete)
      if ((operands == 1)); then
        local store=${words[2]} key
        for ((i = 1; i < cword; i++)); do
          [[ ${words[i]} == "$command" ]] && { store=${words[i+1]}; break; }
        done
        COMPREPLY=()
        while IFS= read -r key; do
          [[ $key == "$cur"* ]] && COMPREPLY+=("$key")
        done < <(kvs list "$store" 2>/dev/null)
      fi
      ;;
    put | load | import | salvage)
      COMPREPLY=($(compgen -f -- "$cur"))
      compopt -o filenames 2>/dev/null
      ;;
  esac
}
complete -F _kvs kvs
