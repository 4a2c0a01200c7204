# The Wine prefix the Windows tests run in (build/wine) and its server, kept running so each
# program does not start and stop a server of its own (seconds per test). Source it, then call
# wine_session_start; the server ends when the shell exits. The tests and caddis.exe need
# nothing else:
#   . scripts/wine-session.sh && wine_session_start && ctest --preset windows
export WINEPREFIX="$PWD/build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The server's own output goes to a file: it dumps its objects on SIGHUP, which it receives
# when a pseudo-terminal it holds as a COM port loses its far end.
wine_server() { wineserver -p > "$WINEPREFIX/wineserver.log" 2>&1; }

# What every Windows machine has and a fresh prefix lacks: Tahoma among the system's fonts
# (this Wine does not find its own copy, which fonts-wine carries), and no crash dialog: a
# program that crashes ends with its report on standard error instead of waiting for someone
# to close a dialog.
wine_prefix_like_windows() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts" font
  mkdir -p "$fonts"
  for font in tahoma.ttf tahomabd.ttf; do
    [ -f "/usr/share/wine/fonts/$font" ] && ln -sfn "/usr/share/wine/fonts/$font" "$fonts/$font"
  done
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    > /dev/null 2>&1
}

wine_session_start() {
  # The server goes first: "wineserver -p" fails while another server serves the prefix (a
  # left-over one is ended; wineboot would start a short-lived one of its own).
  mkdir -p "$WINEPREFIX"
  wineserver -k > /dev/null 2>&1 || true
  wine_server
  trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
  wineboot -i > /dev/null 2>&1
  # No display here: windows (the device-notice window) use Wine's null graphics driver, or no
  # window can be made. The desktop started by the first boot keeps the driver it found, so
  # the server starts once more.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
  wine_prefix_like_windows
  wineserver -k > /dev/null 2>&1 || true
  sleep 1
  wine_server
  # The session's first program starts the prefix's services and waits for them; a test that
  # came first would spend its time limit there. wineboot takes that wait.
  wineboot -i > /dev/null 2>&1
}
