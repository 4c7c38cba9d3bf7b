# Sourced by the scripts that run in a private mount namespace of their own
# (the tests' isolated-run, the demos).
#
#   cover_with_tmpfs <mount point> <mode> <name> [folder or file to keep]...
#
# Covers <mount point> (/opt, /tmp) with a fresh tmpfs, then binds back every
# kept folder (or existing file) that lies below it, at its own path: a
# checkout, build folder or output file under /tmp or /opt stays reachable.
# The mount point itself cannot be kept. The covered tree is reached through a
# descriptor opened before the cover went on.
cover_with_tmpfs() {
  local mountpoint=$1 mode=$2 name=$3 path fd old
  shift 3
  exec {fd}<"$mountpoint"
  mount -t tmpfs -o "mode=$mode" "$name" "$mountpoint"
  for path in "$@"; do
    [ -n "$path" ] || continue
    path=$(realpath -m "$path")
    case "$path" in
      "$mountpoint"/?*)
        old="/proc/self/fd/$fd/${path#"$mountpoint"/}"
        if [ -f "$old" ]; then
          mkdir -p "$(dirname "$path")"
          : >"$path"
        else
          mkdir -p "$path"
        fi
        # No canonicalising: it would resolve the descriptor back to the covered path.
        mount --no-canonicalize --rbind "$old" "$path"
        ;;
    esac
  done
  exec {fd}<&-
}
