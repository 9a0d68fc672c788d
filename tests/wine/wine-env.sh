#!/bin/bash
# Makes a throw-away Wine prefix for the tests and exports the variables
# that every Wine command of a test run needs.
#
#   tests/wine/wine-env.sh PREFIX_DIR [ARCH]          create PREFIX_DIR if needed
#   source tests/wine/wine-env.sh PREFIX_DIR [ARCH]   the same, and keep WINEPREFIX,
#                                                     WINEARCH, WINEDEBUG,
#                                                     WINEDLLOVERRIDES, WINE and
#                                                     WINESERVER in this shell
#
# ARCH is win64 (the default: 64-bit Wine, /usr/lib/wine/wine64) or win32
# (32-bit Wine, /usr/lib/wine/wine, for the 32-bit build). A win32 prefix
# needs a machine that runs 32-bit programs, itself or under emulation (then
# inside tests/emulation/run-emulated); on one that does neither, this says
# why and ends with 77, the code the tests report as "skipped".
#
# Creating the prefix is done under an flock on PREFIX_DIR.lock, so parallel
# callers wait for one of them to finish instead of racing; a prefix is only
# used once the marker file .ready is in it, so an interrupted set-up is redone.
# Setup messages go to PREFIX_DIR.log and are shown only when set-up fails.
#
# When the prefix will show windows, DISPLAY must already point to the X
# server they are to appear on: Wine's desktop process started during set-up
# keeps the display it was started with (or none).

wine_env_setup() {
  local prefix=$1 arch=${2:-win64}
  if [[ -z "$prefix" || ! $arch =~ ^win(32|64)$ ]]; then
    echo "usage: wine-env.sh PREFIX_DIR [win64|win32]" >&2
    return 2
  fi
  mkdir -p "$(dirname "$prefix")" || return 1
  prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

  export WINEPREFIX=$prefix
  export WINEARCH=$arch
  # Wine's own error messages stay on: when a program fails without a word
  # of its own, they say why.
  export WINEDEBUG=-all,err+all
  # No Mono and no Gecko: wineboot would otherwise offer to install them.
  # winemenubuilder would add menu entries for the prefix to the real $HOME.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINESERVER=/usr/lib/wine/wineserver
  local package preloader preloader_package
  if [[ $arch == win64 ]]; then
    export WINE=/usr/lib/wine/wine64
    package=wine64
    preloader=/usr/lib/wine/wine64-preloader preloader_package=wine64-preloader
  else
    local answer
    if ! answer=$("$(dirname "${BASH_SOURCE[0]}")/../../scripts/runs-32bit-programs"); then
      echo "skipped: 32-bit Wine cannot run here: ${answer#no: }"
      return 77
    fi
    if [[ $answer == emulated* && -z ${EMULATED_32BIT:-} ]]; then
      echo "wine-env.sh: 32-bit programs run here only under emulation: run this through" \
        "tests/emulation/run-emulated (its README says how)" >&2
      return 1
    fi
    export WINE=/usr/lib/wine/wine
    package=wine32:i386
    preloader=/usr/lib/wine/wine-preloader preloader_package=wine32-preloader:i386
  fi

  local font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
  if [[ ! -x "$WINE" ]]; then
    echo "wine-env.sh: $WINE is missing (Debian package $package)" >&2
    return 1
  fi
  # Without its preloader the loader cannot reserve the addresses a Windows
  # process needs before the system's libraries land there, and now and then a
  # program stops before it starts ("failed to map the shared user data",
  # exit code 1).
  if [[ ! -x "$preloader" ]]; then
    echo "wine-env.sh: $preloader is missing (Debian package $preloader_package)" >&2
    return 1
  fi
  if [[ ! -f "$font" ]]; then
    echo "wine-env.sh: $font is missing (Debian package fonts-wqy-microhei)" >&2
    return 1
  fi

  local lock_fd
  exec {lock_fd}>"$prefix.lock" || return 1
  flock "$lock_fd"
  if [[ -f "$prefix/.ready" ]]; then
    exec {lock_fd}>&-
    return 0
  fi

  local log=$prefix.log
  if ! wine_env_create "$prefix" >"$log" 2>&1; then
    echo "wine-env.sh: creating the Wine prefix $prefix failed:" >&2
    cat "$log" >&2
    "$WINESERVER" -k 2>/dev/null
    exec {lock_fd}>&-
    return 1
  fi
  touch "$prefix/.ready"
  exec {lock_fd}>&-
}

# A Wine command of the set-up, ended if it hangs (as wineboot can when its
# server goes away under it). A failure is named in the set-up log.
wine_env_run() {
  timeout --kill-after=10 300 "$WINE" "$@"
  local status=$?
  if ((status != 0)); then
    echo "wine-env.sh: $WINE $* failed with exit code $status$( ((status == 124)) && echo ' (timed out)')"
  fi
  return "$status"
}

wine_env_create() {
  local prefix=$1
  rm -rf "$prefix" || return 1
  wine_env_run wineboot -i || return 1

  # Without a window manager Wine has to draw the window captions itself.
  wine_env_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f ||
    return 1

  # The dialogs use Tahoma (also behind "MS Shell Dlg"), which has no Chinese
  # glyphs; link WenQuanYi Micro Hei behind it, as Windows links its CJK
  # fonts. The bold caption font is a face of its own and needs its own link.
  local face
  for face in "Tahoma" "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine_env_run reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f ||
      return 1
  done

  # Debian's wine64 does not find its own fonts (/usr/share/wine/fonts), so
  # dialogs would get a stand-in for Tahoma and the caption buttons, drawn
  # with Marlett, would show letters. Put them where every Wine finds them.
  local f fonts_dir=$prefix/drive_c/windows/Fonts
  mkdir -p "$fonts_dir" || return 1
  for f in tahoma.ttf tahomabd.ttf marlett.ttf; do
    if [[ -f /usr/share/wine/fonts/$f && ! -e $fonts_dir/$f ]]; then
      ln -s "/usr/share/wine/fonts/$f" "$fonts_dir/$f" || return 1
    fi
  done

  # Let the registry reach the prefix's files before anyone uses it.
  timeout 300 "$WINESERVER" -w || {
    echo "wine-env.sh: waiting for the wineserver to end failed with exit code $?"
    return 1
  }
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  wine_env_setup "$@"
  exit
fi
wine_env_setup "$@"
