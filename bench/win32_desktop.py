"""A private X server with a fresh 32-bit Wine prefix on it, for the 32-bit section of the benchmark, and the
check whether this machine can run one at all."""

import os
import shutil
import subprocess
import time

from report import ROOT
from wine_desktop import WINE64, WINESERVER, WineDesktop, _die_with_parent, missing_tools

WINE32 = "/usr/lib/wine/wine"
PROBE_32BIT = os.path.join(ROOT, "scripts", "runs-32bit-programs")


class NotHere(Exception):
    """A section that this kind of machine cannot measure at all; not a failure of the benchmark."""


# What tests/wine/wine-env.sh sets in its prefixes: Wine draws the window captions itself (there is no window
# manager), and the dialog's Chinese text is drawn with WenQuanYi Micro Hei linked behind its fonts.
FONT_LINKS = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink"
PREFIX_SETTINGS = [
    [r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N"],
    *([FONT_LINKS, "/v", face, "/t", "REG_MULTI_SZ", "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei"]
      for face in ("Tahoma", "Tahoma Bold", "MS Shell Dlg", "MS Shell Dlg 2")),
]
WINE_FONTS = "/usr/share/wine/fonts"


class Win32Desktop(WineDesktop):
    """The end-to-end tests' desktop on a 32-bit prefix, whose programs run under the 32-bit loader.
    tests/wine/wine-env.sh makes 64-bit prefixes only, so this one is made here, with the same settings."""

    LOADER, ARCH = WINE32, "win32"

    def _run(self, argv, timeout):
        # WineDesktop runs every program with the 64-bit loader.
        if argv[0] == WINE64:
            argv = [self.LOADER, *argv[1:]]
        return super()._run(argv, timeout)

    def _make_prefix(self):
        self.env["WINEARCH"] = self.ARCH
        for stale in (self.prefix, self.prefix + ".lock", self.prefix + ".log"):
            if os.path.isdir(stale):
                shutil.rmtree(stale)
            elif os.path.exists(stale):
                os.remove(stale)
        started = time.monotonic()
        self.wine("wineboot", "-i", timeout=300)
        for setting in PREFIX_SETTINGS:
            self.wine("reg", "add", *setting, "/f", timeout=300)
        # Wine's own Tahoma and Marlett, where every Wine finds them.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in ("tahoma.ttf", "tahomabd.ttf", "marlett.ttf"):
            source, link = os.path.join(WINE_FONTS, name), os.path.join(fonts, name)
            if os.path.exists(source) and not os.path.lexists(link):
                os.symlink(source, link)
        subprocess.run([WINESERVER, "-w"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        self.log(f"# {self.ARCH} Wine prefix made in {time.monotonic() - started:.1f} s on display {self.display}")
        # As in WineDesktop: one program runs throughout, so that the prefix's server and desktop stay up.
        self.keeper = subprocess.Popen([self.LOADER, "cmd.exe", "/k"], env=self.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       preexec_fn=_die_with_parent)


def problems_32():
    """What is missing for the 32-bit section; NotHere where this machine cannot run 32-bit programs at all."""
    probe = subprocess.run([PROBE_32BIT], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if probe.returncode != 0:
        raise NotHere(f"{probe.stdout.strip() or probe.stderr.strip()} (`scripts/runs-32bit-programs`)")
    return missing_tools([(WINE32, "add the i386 architecture and install the Debian package wine32:i386")])
