# The lab's Wine, sourced by the Wine scripts: its own prefix under build/, quiet, without the
# components that would fetch or install anything, and no menu entries for what it installs.
export WINEPREFIX="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/wine-prefix-lab"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

# Makes the prefix the first time it is needed.
make_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "$(basename "$0"): making the Wine prefix $WINEPREFIX (once)" >&2
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
}
