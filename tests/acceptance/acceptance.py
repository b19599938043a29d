#!/usr/bin/env python3
"""Acceptance run of the demo program as a user meets it.

The program (with its simulated dock and the stand-in updater tool) runs under
Wine on the private Xvfb display and is driven only from outside: mouse clicks
and keys with xdotool. ui_probe.exe, a separate Windows process, reads back
what the user would see (window titles and texts, list cells, the clipboard);
one such process, started once (ui_probe serve), answers every look.
Each step leaves a screenshot in <build>/acceptance-artifacts/<lang>/. With
VARNOCK_README_SHOTS=1 the README's screenshots in docs/screenshots/ are
written afresh from the same run.

    acceptance.py BUILD_DIR [1033|2052]

Uses the Wine prefix and display of scripts/wine-env: WINEPREFIX and
VARNOCK_XVFB_DISPLAY from the environment, else the project's defaults.
"""
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
sys.path.insert(0, os.path.join(ROOT, "standins"))
from make_sample_images import SLOW_GATE  # noqa: E402  (the slow sample image waits for it)

TITLE = "VarnockFirmwareUpdate"
TOOL = "varnock_dockupdatefw.exe"
DOCK = ["Varnock", "Varnock USB-C Dock", "VN-2026-0001"]
CLIPBOARD_LABELS = ["制造商", "产品", "序列号", "固件版本"]
COLUMNS = {"1033": ["Vendor", "Product", "SerialNumber", "FwRev"], "2052": CLIPBOARD_LABELS}
WAIT_TEXT = {"1033": "Please Wait,Firmware is Updating...", "2052": "请稍等，固件正在升级中..."}
# Window shots the README shows: step name -> docs/screenshots/<name>-<en|zh>.png.
README_SHOTS = {"1033": {"started": "main-window", "slow-update-wait": "update-in-progress",
                         "update-outcome": "update-outcome"},
                "2052": {"started": "main-window", "slow-update-wait": "update-in-progress"}}
README_SHOT_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "screenshots")
WAIT_WARNING = {"1033": "Do not unplug the dock or turn off the computer.", "2052": "请勿拔下扩展坞或关闭计算机。"}
UPDATE_OK = "固件升级成功。"


def updated(before, after):
    """The success box once the dock has shown its new version."""
    return UPDATE_OK + "\n\n%s \u2192 %s" % (before, after)
UPDATE_FAILED = "升级失败，请重新升级。"
INVALID_FW = "不是有效的固件文件。"
END_SESSION_REFUSED = "WM_QUERYENDSESSION refused: firmware update in progress"
QUIT_REFUSED = ["WM_CLOSE refused: firmware update in progress", "IDM_EXIT refused: firmware update in progress"]
IDM_EXIT = 1002
FLASH_WATCH_LOOK_S = 1.0  # the window's flash watch looks once a second


def about_pattern(build):
    """The About text: the title, "V" and the version the build gave the program, the copyright."""
    with open(os.path.join(build, "resources", "product_version.h"), encoding="utf-8") as header:
        version = re.search(r'#define VARNOCK_VERSION "([0-9.]+)"', header.read()).group(1)
    return re.compile(r"VarnockFirmwareUpdate V%s\n\n[^\n]*Copyright[^\n]*" % re.escape(version))


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wine_environment():
    """The environment of scripts/wine-env after its set-up: prefix ready, private Xvfb, warm wineserver."""
    env = dict(os.environ)
    env.pop("DISPLAY", None)  # always the private display, never a desktop the user works on
    env.pop("VARNOCK_OWN_XVFB", None)
    # This prefix's own persistent server (wineserver -p is a no-op when it runs already), started
    # detached, so that no Wine process started later holds our output pipes open.
    script = ('. "$1/scripts/wine-env" && wine_prefix_ready && '
              '{ [ "${VARNOCK_WINE_TEST_START:-}" != 1 ] || wine_leftovers_end; } && '
              'unset VARNOCK_WINE_TEST_START && xvfb_ready && '
              '{ setsid wineserver -p60 </dev/null >/dev/null 2>&1; '
              'timeout 60 "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1; } && env -0')
    out = subprocess.run(["bash", "-c", script, "wine-env", ROOT], env=env, check=True,
                         stdout=subprocess.PIPE, timeout=600).stdout
    return dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)


class Suite:
    def __init__(self, build, lang):
        self.build = os.path.abspath(build)
        self.lang = lang
        self.demo = os.path.join(self.build, "demo")
        self.probe = os.path.join(self.build, "tests", "acceptance", "ui_probe.exe")
        self.artifacts = os.path.join(self.build, "acceptance-artifacts", lang)
        self.app = os.path.join(self.artifacts, "app")
        self.env = wine_environment()
        self.env["VARNOCK_UI_LANG"] = lang
        self.env.setdefault("VARNOCK_WINE_TIMEOUT", "300")
        self.shot_number = 0
        self.program = None
        self.slow_gate = None
        self.looker = None  # ui_probe serve: one process for every look
        self.started = time.monotonic()

    # --- outside access -------------------------------------------------
    def wine(self, *args, timeout=30):
        # Output through files, not pipes: Wine services started along the way keep inherited pipes open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE_RUN, *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(result.args, result.returncode, out.read(), err.read())

    def look(self, *args, timeout=30):
        """One ui_probe command, answered by the one ui_probe process that serves them all:
        (exit code, output)."""
        if self.looker is None or self.looker.poll() is not None:
            # Its own time limit covers the whole suite, not one look.
            self.looker = subprocess.Popen([WINE_RUN, self.probe, "serve"], env=dict(self.env, VARNOCK_WINE_TIMEOUT="900"),
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
        self.looker.stdin.write((" ".join(map(str, args)) + "\n").encode())
        self.looker.stdin.flush()
        if not select.select([self.looker.stdout], [], [], timeout)[0]:
            self.end_looker()
            raise Failure("ui_probe %s gave no answer within %d s" % (" ".join(map(str, args)), timeout))
        line = self.looker.stdout.readline()
        if not line:
            self.end_looker()
            raise Failure("ui_probe ended during %s" % " ".join(map(str, args)))
        answer = json.loads(line.decode("utf-8"))
        return answer["code"], answer["out"]

    def end_looker(self):
        if self.looker is None:
            return
        self.looker.stdin.close()
        try:
            self.looker.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.looker.pid, signal.SIGKILL)
            self.looker.wait()
        self.looker = None

    def windows(self, *options):
        for _ in range(3):  # a window that goes away while it is being read can spoil one reading
            code, out = self.look("windows", *options)
            if code == 0:
                return json.loads(out)
        raise Failure("ui_probe windows failed with %d" % code)

    def clipboard(self):
        code, out = self.look("clipboard")
        return out if code == 0 else None

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True, timeout=30)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", int(x), int(y), "click", button)

    def key(self, *keys):
        self.xdotool("key", "--delay", 60, *keys)

    def screenshot(self, name, crop=None):
        """Full-screen shot NN-name.png; with crop (a screen rectangle) also NN-name-window.png."""
        self.shot_number += 1
        path = os.path.join(self.artifacts, "%02d-%s.png" % (self.shot_number, name))
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True, timeout=30)
        if crop:
            left, top, right, bottom = crop
            window = path[:-4] + "-window.png"
            subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                            "+repage", window], check=True, timeout=30)
            readme_name = README_SHOTS[self.lang].get(name)
            if readme_name and os.environ.get("VARNOCK_README_SHOTS") == "1":
                suffix = "en" if self.lang == "1033" else "zh"
                shutil.copyfile(window, os.path.join(README_SHOT_FOLDER, "%s-%s.png" % (readme_name, suffix)))
        return path

    def wait_for(self, what, predicate, timeout=20.0):
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.windows()
            found = predicate(last)
            if found:
                return found
            time.sleep(0.05)
        raise Failure("timed out waiting for %s; last seen: %s" % (what, json.dumps(last, ensure_ascii=False)[:1500]))

    def click_until(self, what, x, y, button, predicate, attempts=5):
        """Clicks until the click shows its effect: right after a menu has closed, Wine may drop a click."""
        for attempt in range(attempts):
            self.click(x, y, button)
            try:
                return self.wait_for(what, predicate, timeout=2.0 if attempt < attempts - 1 else 10.0)
            except Failure:
                if attempt == attempts - 1:
                    raise

    # --- what the user sees ---------------------------------------------
    @staticmethod
    def main(state):
        return state.get("main")

    @staticmethod
    def popups(state, cls):
        return [w for w in state["windows"] if w["class"] == cls]

    def message_box(self, state):
        # A box is read once its text is in: Wine can show it a moment before.
        boxes = [w for w in self.popups(state, "#32770") if w.get("message")]
        return boxes[0] if boxes else None

    def only_main(self, state):
        main = state.get("main")
        return main if main and main["enabled"] and not state["windows"] else None

    def row_cells(self):
        rows = self.windows()["main"]["list"]["rows"]
        check(len(rows) == 1, "the list shows %d rows, expected one dock row" % len(rows))
        return rows[0]["cells"]

    def menu_item(self, menu, index, count, separators=0):
        """Centre of entry `index` (0-based, separators not counted) of a popup with `count` entries."""
        left, top, right, bottom = menu["rect"]
        separator = 7
        item = (bottom - top - 4 - separators * separator) / count
        # Entries after the separator (menus here have it just before the last entry).
        offset = separators * separator if index == count - 1 and separators else 0
        return (left + right) / 2, top + 2 + item * index + item / 2 + offset

    def open_context_menu(self):
        state = self.windows()
        row = state["main"]["list"]["rows"][0]["rect"]
        x, y = row[0] + 60, (row[1] + row[3]) / 2
        self.click(x, y)
        return self.click_until("the row's context menu", x, y, 3, lambda s: (self.popups(s, "#32768") or [None])[0])

    def open_menu_bar(self, right_steps):
        """Opens File by a click on the menu bar, then moves right to Settings (1) or Help (2)."""
        main = self.windows()["main"]
        client = main["client"]
        menu = self.click_until("the File menu", client[0] + 12, client[1] - 10, 1,
                                lambda s: (self.popups(s, "#32768") or [None])[0])
        for _ in range(right_steps):
            previous = menu["hwnd"]
            self.key("Right")
            menu = self.wait_for("the next menu", lambda s: next(
                (m for m in self.popups(s, "#32768") if m["hwnd"] != previous), None))
        return menu

    def dismiss(self, box):
        left, top, right, bottom = box["ok"]
        self.click((left + right) / 2, (top + bottom) / 2)

    def stays(self, what, predicate, seconds=2.0):
        """After an action that must change nothing: the predicate holds at every look for a while.

        No window tells that a posted message or a key has been handled, so
        this is a bound, not an event: a responsive window handles one within
        milliseconds, and two seconds leave room for a loaded machine, so a
        change that comes at all comes before the watch ends."""
        deadline = time.monotonic() + seconds
        while True:
            state = self.windows()
            check(predicate(state), "%s; seen: %s" % (what, json.dumps(state, ensure_ascii=False)[:1500]))
            if time.monotonic() >= deadline:
                return state
            time.sleep(0.1)

    def settled(self, message, quiet):
        """Waits until no new log line reads `message` for `quiet` seconds."""
        deadline = time.monotonic() + 30
        count, since = self.log_count(message), time.monotonic()
        while time.monotonic() - since < quiet:
            check(time.monotonic() < deadline, "%r kept coming into the log" % message)
            time.sleep(0.05)
            now = self.log_count(message)
            if now != count:
                count, since = now, time.monotonic()

    def probe_number(self, *args):
        code, out = self.look(*args)
        check(code == 0, "ui_probe %s failed with %d" % (" ".join(args), code))
        return int(out)

    def end_session_answer(self, *how):
        """The main window's answer to WM_QUERYENDSESSION sent by another process."""
        return self.probe_number("query-end-session", *how)

    def updaters_running(self):
        return self.probe_number("count-processes", TOOL)

    def log_count(self, message):
        """How many log lines read exactly `message` (the log is flushed at every line)."""
        with open(os.path.join(self.app, "basic-log.txt"), encoding="utf-8", newline="") as log:
            return sum(1 for line in log.read().split("\r\n") if line.endswith("] " + message))

    def clear_clipboard(self):
        check(self.look("clear-clipboard")[0] == 0, "could not empty the clipboard")

    @staticmethod
    def copy_text(version):
        return "".join("%s : %s\n" % (label, value) for label, value in zip(CLIPBOARD_LABELS, DOCK + [version])) + "\n"

    def copy_info(self, expected_version, shot, open_menu=None):
        """Context menu > Copy Info; the clipboard, read by another process, holds the row exactly."""
        self.clear_clipboard()
        menu = (open_menu or self.open_context_menu)()
        self.screenshot(shot)
        self.click(*self.menu_item(menu, 0, 2, separators=1))
        expected = self.copy_text(expected_version)
        deadline = time.monotonic() + 10
        text = None
        while time.monotonic() < deadline:
            text = self.clipboard()
            if text:
                break
            time.sleep(0.05)
        check(text == expected, "clipboard after Copy Info: %r, expected %r" % (text, expected))
        return menu

    def choose_image(self, image, name):
        """Context menu > firmware download, then the image's path typed into the open-file dialog."""
        menu = self.open_context_menu()
        self.click(*self.menu_item(menu, 1, 2, separators=1))
        dialog = self.wait_for("the open-file dialog", lambda s: next(
            (w for w in self.popups(s, "#32770") if "file_name" in w), None))
        path = "Z:" + os.path.join(self.app, "images", image).replace("/", "\\")
        self.xdotool("type", "--delay", 8, path)
        self.wait_for("the typed file name", lambda s: next(
            (w for w in self.popups(s, "#32770") if w.get("file_name") == path), None), timeout=10)
        self.screenshot(name)
        self.key("Return")
        return dialog

    def run_update(self, image, outcome, version_after, step, while_running=None, after_updater=None):
        self.choose_image(image, step + "-file-dialog")
        wait = self.wait_for("the wait box", lambda s: next(
            (w for w in self.popups(s, "#32770") if "wait_text" in w), None))
        main = self.windows()["main"]
        self.screenshot(step + "-wait", crop=main["rect"])
        check(wait["wait_text"] == WAIT_TEXT[self.lang], "wait text %r" % wait["wait_text"])
        check(wait.get("wait_warning") == WAIT_WARNING[self.lang], "wait warning %r" % wait.get("wait_warning"))
        check(re.fullmatch(r"\d+:\d\d", wait.get("wait_elapsed", "")), "elapsed %r" % wait.get("wait_elapsed"))
        check(wait["title"] == "", "the wait box has a caption: %r" % wait["title"])
        check(not main["enabled"], "the main window takes input during the update")
        if while_running:
            while_running(wait, main)
        box = self.wait_for("the outcome box", self.message_box, timeout=60)
        self.screenshot(step + "-outcome", crop=main["rect"])
        check(box["message"] == outcome, "outcome %r, expected %r" % (box["message"], outcome))
        check(box["title"] == TITLE, "outcome box title %r" % box["title"])
        check(any("wait_text" in w for w in self.windows()["windows"]), "the wait box went before the outcome box")
        if after_updater:
            after_updater()
        self.dismiss(box)
        self.wait_for("the main window usable again", self.only_main)
        cells = self.row_cells()
        check(cells == DOCK + [version_after], "row after the update: %r" % cells)

    def hold_through_update(self, wait, main):
        """During the slow update nothing closes the wait box or reaches the main window, and the
        session may not end."""
        began = time.monotonic()

        def held(state):  # the wait box up and active, the main window disabled
            return (any(w["hwnd"] == wait["hwnd"] for w in state["windows"]) and not state["main"]["enabled"]
                    and state["foreground"] == wait["hwnd"])

        left, top, right, bottom = wait["rect"]
        self.click((left + right) / 2, (top + bottom) / 2)
        self.wait_for("the wait box active", lambda s: s["foreground"] == wait["hwnd"])
        self.key("alt+F4")
        self.stays("after Alt+F4 the wait box went or the main window took input", held)
        check(self.look("post-close", wait["hwnd"])[0] == 0, "could not post WM_CLOSE")
        self.stays("after another program's WM_CLOSE the wait box went or the main window took input", held)
        for name in ("Escape", "Return"):
            self.key(name)
            self.stays("after %s the wait box went or the main window took input" % name, held)
        row = main["list"]["rows"][0]["rect"]
        self.click(row[0] + 60, (row[1] + row[3]) / 2, 3)
        self.stays("a right-click on the row during the update opened a menu",
                   lambda s: held(s) and not self.popups(s, "#32768"))
        # Polite requests to end the program (taskkill without /F, an installer's Restart Manager).
        check(self.look("post-close", main["hwnd"])[0] == 0,
              "could not post WM_CLOSE to the main window")
        self.stays("after another program's WM_CLOSE to the main window the update was cut short", held)
        check(self.look("post-command", IDM_EXIT)[0] == 0, "could not post File > Exit")
        self.stays("after a posted File > Exit the update was cut short", held)
        count = self.updaters_running()
        check(count == 1, "%d updater processes run during the update" % count)
        answer = self.end_session_answer()
        check(answer == 0, "WM_QUERYENDSESSION during the update answered %d" % answer)
        answer = self.end_session_answer("closeapp")
        check(answer == 0, "WM_QUERYENDSESSION (ENDSESSION_CLOSEAPP) during the update answered %d" % answer)
        self.screenshot("slow-update-held", crop=main["rect"])
        # The main window's shortcuts and its menu's mnemonic do nothing while the box is up.
        refreshes = self.log_count("RefreshDeviceList")
        copies = self.log_count("CopyTextToClipboard")
        self.clear_clipboard()
        self.key("F5", "ctrl+a", "ctrl+c", "alt+f")
        self.stays("after F5, Ctrl+A, Ctrl+C, Alt+F during the update a menu opened or the box went",
                   lambda s: held(s) and not self.popups(s, "#32768"))
        check(self.log_count("RefreshDeviceList") == refreshes, "F5 refreshed the list during the update")
        check(not self.clipboard() and self.log_count("CopyTextToClipboard") == copies,
              "Ctrl+C copied during the update")
        check(held(self.windows()), "the update ended before its checks were done")
        print("checks during the update took %.1f s" % (time.monotonic() - began))
        self.release_slow_gate()

    def hold_slow_gate(self):
        """Shuts the slow sample image's gate: its updater runs on, half-way through, until
        release_slow_gate, so the checks during the update never race the flash."""
        self.slow_gate = subprocess.Popen([WINE_RUN, self.probe, "gate", SLOW_GATE], env=self.env,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL)
        check(self.slow_gate.stdout.readline().strip() == b"ready", "the slow update's gate could not be made")

    def release_slow_gate(self):
        if self.slow_gate is None:
            return
        self.slow_gate.stdin.close()
        self.slow_gate.wait(timeout=30)
        self.slow_gate = None

    def released_when_the_updater_ends(self):
        """With the outcome box still up, the updater has ended: the session may end, and the
        dock is free for the command line, which now finds it at the new version."""
        answer = self.end_session_answer()
        check(answer != 0, "WM_QUERYENDSESSION after the updater ended answered 0")
        exe = os.path.join(self.app, "VarnockFWUpdate-demo.exe")
        image = "Z:" + os.path.join(self.app, "images", "dock-fw-1.4.0.0-slow.bin").replace("/", "\\")
        log = "Z:" + os.path.join(self.artifacts, "command-line.log").replace("/", "\\")
        result = self.wine(exe, "/update", image, "/expect", "1.4.0.0", "/log", log)
        check(result.returncode == 0, "the command line after the updater ended exited %d: %r" % (
            result.returncode, result.stderr))
        check(result.stdout == b"Firmware already at 1.4.0.0; nothing flashed.\r\n",
              "the command line after the updater ended printed %r" % result.stdout)

    # --- the run ----------------------------------------------------------
    def prepare(self):
        check(os.path.exists(os.path.join(self.demo, "VarnockFWUpdate-demo.exe")),
              "the demo is not built: cmake --build <build> --target VarnockFWUpdateDemo")
        check(os.path.exists(self.probe), "ui_probe.exe is not built")
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.app)
        for name in ("VarnockFWUpdate-demo.exe", TOOL):
            shutil.copy2(os.path.join(self.demo, name), self.app)
        shutil.copytree(os.path.join(self.demo, "images"), os.path.join(self.app, "images"))
        check(os.path.exists(os.path.join(self.app, "images", "dock-fw-1.4.0.0-slow.bin")),
              "the demo's sample images are out of date: rebuild VarnockFWUpdateDemo")
        shutil.copy2(os.path.join(self.demo, "demo-dock.ini"), os.path.join(self.app, "sim-dock.ini"))
        check(self.windows()["main"] is None,
              "another copy of the program already runs on display %s" % self.env.get("DISPLAY"))

    def start(self):
        return subprocess.Popen([WINE_RUN, os.path.join(self.app, "VarnockFWUpdate-demo.exe")], cwd=self.app,
                                env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)

    def run(self):
        self.prepare()
        self.program = self.start()

        # Start-up: a titled window with the dock's row.
        state = self.wait_for("the main window with the dock's row", lambda s: s if s["main"] and
                              s["main"]["visible"] and len(s["main"]["list"]["rows"]) == 1 else None, timeout=60)
        main = state["main"]
        shot = self.screenshot("started", crop=main["rect"])
        xwin = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE], env=self.env,
                              stdout=subprocess.PIPE, text=True).stdout.split()
        check(len(xwin) == 1, "X windows titled %s: %r" % (TITLE, xwin))
        geometry = subprocess.run(["xdotool", "getwindowgeometry", xwin[0]], env=self.env,
                                  stdout=subprocess.PIPE, text=True).stdout
        left, top, right, bottom = main["rect"]
        check("Position: %d,%d" % (left, top) in geometry and "Geometry: %dx%d" % (right - left, bottom - top)
              in geometry, "X geometry %r differs from the window's %r" % (geometry, main["rect"]))
        check(main["list"]["columns"] == COLUMNS[self.lang], "column titles %r" % main["list"]["columns"])
        check(main["list"]["rows"][0]["cells"] == DOCK + ["1.2.3.4"], "row %r" % main["list"]["rows"][0])
        check(not main["topmost"], "the window starts topmost")
        print("started:", shot)

        # Copy Info puts the row on the clipboard, Chinese labels in every language.
        mouse_menu = self.copy_info("1.2.3.4", "context-menu")

        # A good image: wait box, success, the list shows the new version.
        self.run_update("dock-fw-1.3.0.0.bin", updated("1.2.3.4", "1.3.0.0"), "1.3.0.0", "update")
        self.copy_info("1.3.0.0", "copy-after-update")

        # An image the tool fails on: failure box, the version stays.
        self.run_update("dock-fw-2.0.0.0-fails.bin", UPDATE_FAILED, "1.3.0.0", "failing-update")

        # A file too short to be an image: refused before anything runs.
        self.choose_image("dock-fw-too-short.bin", "short-file-dialog")
        box = self.wait_for("the refusal box", self.message_box)
        main = self.windows()["main"]
        self.screenshot("short-refused", crop=main["rect"])
        check(box["message"] == INVALID_FW and box["title"] == "VarnockFWUpdate", "refusal box %r" % box)
        check(not any("wait_text" in w for w in self.windows()["windows"]), "a wait box came for a refused file")
        self.dismiss(box)
        self.wait_for("the main window usable again", self.only_main)
        check(self.row_cells() == DOCK + ["1.3.0.0"], "the refused file changed the row")

        # Settings > Topmost: on (check mark drawn), then off again.
        for turn_on in (True, False):
            menu = self.open_menu_bar(1)
            shown_checked = self.check_mark_drawn(menu, "topmost-menu-" + ("off" if turn_on else "on"))
            check(shown_checked != turn_on, "the Topmost check mark does not match the window state")
            self.key("Return")
            self.wait_for("topmost " + ("on" if turn_on else "off"), lambda s: s["main"]["topmost"] == turn_on
                          and not self.popups(s, "#32768"))
        check(self.check_mark_drawn(self.open_menu_bar(1), "topmost-menu-off-again") is False,
              "the check mark stayed after Topmost was turned off")
        self.key("Escape", "Escape")
        self.wait_for("the menu closed", lambda s: not self.popups(s, "#32768"))

        # Help > About.
        self.open_menu_bar(2)
        self.key("Return")
        box = self.wait_for("the About box", self.message_box)
        self.screenshot("about", crop=self.windows()["main"]["rect"])
        check(box["title"] == TITLE and about_pattern(self.build).fullmatch(box["message"]), "About box %r" % box)
        self.dismiss(box)
        self.wait_for("the About box closed", self.only_main)

        # File > Refresh: with the dock gone the list empties, with it back the row returns.
        state_file = os.path.join(self.app, "sim-dock.ini")
        with open(state_file) as f:
            present = f.read()
        check("present=1" in present, "unexpected simulated dock state %r" % present)
        for plugged, rows in ((False, 0), (True, 1)):
            with open(state_file, "w") as f:
                f.write(present.replace("present=1", "present=%d" % plugged))
            menu = self.open_menu_bar(0)
            self.click(*self.menu_item(menu, 0, 2, separators=1))
            state = self.wait_for("the list with %d rows" % rows, lambda s: s if len(
                s["main"]["list"]["rows"]) == rows and not self.popups(s, "#32768") else None)
            if not plugged:
                self.screenshot("refresh-no-dock", crop=state["main"]["rect"])
        check(self.row_cells() == DOCK + ["1.3.0.0"], "the row after the dock came back")

        # A longer update: the wait box cannot be closed, nothing else starts, the session may not end.
        check(self.end_session_answer() != 0, "WM_QUERYENDSESSION refused with no update running")
        check(self.updaters_running() == 0, "an updater process runs before any update")
        self.hold_slow_gate()
        try:
            self.run_update("dock-fw-1.4.0.0-slow.bin", updated("1.3.0.0", "1.4.0.0"), "1.4.0.0", "slow-update",
                            self.hold_through_update, self.released_when_the_updater_ends)
        finally:
            self.release_slow_gate()
        check(self.end_session_answer() != 0, "WM_QUERYENDSESSION still refused after the update")
        check(self.updaters_running() == 0, "the updater process outlived the update")
        # The command line's look under the flash marker was a flash to the window's flash watch,
        # which reads the dock again at its next look: that refill drops the selection the
        # keyboard steps below make, and would be counted as F5's. Whether the watch saw the
        # short look at all cannot be told from outside, so the log must stay quiet for three
        # of its looks: a refill later than that is no longer the watch's news but a fault.
        self.settled("RefreshDeviceList", 3 * FLASH_WATCH_LOOK_S)

        # Shift+F10 opens the row menu under the selected row; its Copy Info works as the mouse's.
        row = self.windows()["main"]["list"]["rows"][0]["rect"]
        self.click_until("the row selected", row[0] + 60, (row[1] + row[3]) / 2, 1,
                         lambda s: s["main"]["list"]["selected"] == 1)

        def keyboard_menu():
            self.key("shift+F10")
            return self.wait_for("the row menu from Shift+F10", lambda s: (self.popups(s, "#32768") or [None])[0])
        menu = self.copy_info("1.4.0.0", "keyboard-context-menu", keyboard_menu)
        left, top, right, bottom = menu["rect"]
        mouse = mouse_menu["rect"]
        check((right - left, bottom - top) == (mouse[2] - mouse[0], mouse[3] - mouse[1]),
              "the keyboard's menu %r differs in size from the mouse's %r" % (menu["rect"], mouse))
        check(abs(left - row[0]) <= 4 and abs(top - row[3]) <= 4,
              "the keyboard's menu at %r is not under the row %r" % (menu["rect"], row))

        # Keyboard shortcuts with the focus in the list: F5 reads the dock again (the
        # refill drops the selection), Ctrl+C copies nothing without a selected
        # row, Ctrl+A selects it and Ctrl+C then copies it; Alt+F opens File.
        refreshes = self.log_count("RefreshDeviceList")
        self.key("F5")
        self.wait_for("F5's refresh in the log", lambda s: self.log_count("RefreshDeviceList") == refreshes + 1)
        self.wait_for("the list refilled without a selection", lambda s: len(s["main"]["list"]["rows"]) == 1
                      and s["main"]["list"]["selected"] == 0)
        self.clear_clipboard()
        copies = self.log_count("CopyTextToClipboard")
        self.key("ctrl+c")
        self.stays("Ctrl+C without a selection", lambda s: s["main"]["list"]["selected"] == 0)
        # Not even an empty copy: the user's clipboard stays as it was.
        check(not self.clipboard() and self.log_count("CopyTextToClipboard") == copies,
              "Ctrl+C without a selected row touched the clipboard")
        self.key("ctrl+a")
        self.wait_for("Ctrl+A's selection", lambda s: s["main"]["list"]["selected"] == 1)
        self.key("ctrl+c")
        deadline = time.monotonic() + 10
        text = self.clipboard()
        while text != self.copy_text("1.4.0.0") and time.monotonic() < deadline:
            time.sleep(0.05)
            text = self.clipboard()
        check(text == self.copy_text("1.4.0.0"), "clipboard after Ctrl+C: %r" % text)
        self.key("alt+f")
        menu = self.wait_for("the File menu from Alt+F", lambda s: (self.popups(s, "#32768") or [None])[0])
        self.screenshot("file-menu-alt-f", crop=self.windows()["main"]["rect"])
        self.key("Escape", "Escape")
        self.wait_for("the File menu closed", lambda s: not self.popups(s, "#32768"))

        # A second start restores and raises the first copy and ends at once with 0.
        main = self.windows("caption")["main"]
        check("min_button" in main, "no minimise box found on the caption")
        self.click(*main["min_button"])
        self.wait_for("the window minimised", lambda s: s["main"]["iconic"])
        self.screenshot("minimised")
        second = self.start()
        try:
            code = second.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(second.pid, signal.SIGKILL)
            raise Failure("the second copy did not end")
        check(code == 0, "the second copy ended with %d" % code)
        state = self.wait_for("the first copy restored", lambda s: s if not s["main"]["iconic"] else None)
        check(state["main_count"] == 1, "%d main windows after a second start" % state["main_count"])
        check(state["foreground"] == state["main"]["hwnd"], "the first copy is not in the foreground")
        self.screenshot("raised-by-second-start", crop=state["main"]["rect"])

        # File > Exit ends the program with 0.
        menu = self.open_menu_bar(0)
        self.screenshot("file-menu", crop=self.windows()["main"]["rect"])
        self.click(*self.menu_item(menu, 1, 2, separators=1))
        try:
            code = self.program.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("File > Exit did not end the program")
        check(code == 0, "the program ended with %d after File > Exit" % code)
        self.program = None
        self.check_log()
        print("acceptance %s passed in %.1f s; screenshots in %s" % (self.lang, time.monotonic() - self.started,
                                                                     self.artifacts))

    def check_mark_drawn(self, menu, name):
        """Whether the Topmost entry shows a check mark: its check column is not one flat colour."""
        shot = self.screenshot(name)
        left, top, right, bottom = menu["rect"]
        crop = "%dx%d+%d+%d" % (16, bottom - top - 6, left + 3, top + 3)
        spread = subprocess.run(["convert", shot, "-crop", crop, "+repage", "-colorspace", "Gray", "-format",
                                 "%[fx:standard_deviation]", "info:"], stdout=subprocess.PIPE, text=True,
                                check=True).stdout
        return float(spread) > 0.01

    def check_log(self):
        with open(os.path.join(self.app, "basic-log.txt"), encoding="utf-8", newline="") as log:
            text = log.read()
        entries = []  # (level, message); continuation lines belong to the message before them
        lines = text.split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()  # after the last line end
        for line in lines:
            match = re.match(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[logger\] \[(info|error)\] (.*)", line, re.S)
            if match:
                entries.append([match.group(1), match.group(2)])
            elif entries:
                entries[-1][1] += "\n" + line
        errors = [e[1] for e in entries if e[0] == "error"]
        check(errors == ["libusb_open_device_with_vid_pid failed"], "error lines in the log: %r" % errors)
        messages = [e[1] for e in entries]
        check(messages.count("program start...") == 1, "the log holds %d starts (the second copy must leave no"
              " trace)" % messages.count("program start..."))
        app = "Z:" + self.app.replace("/", "\\")
        image = app + "\\images\\"
        update = ["FWDownload", "FWDownload %s\\%s" % (app, TOOL)]
        run = ["RealFWDownload", "RealFWDownload CreatePipe", "RealFWDownload CreateProcess", "ReadFile"]
        expected = [
            "program start...", re.compile(r"Windows version: \d+\.\d+ \(Build \d+\)"), "CreateMainMenu",
            "CreateListView", "FillDataToListView", "iManufacturer Varnock", "iProduct Varnock USB-C Dock",
            "iSerialNumber VN-2026-0001", "fwver 1.2.3.4", "RegisterDeviceNotify",
            "CopySelectItemInfo", "CopyTextToClipboard",
            *update, "FWDownload select fwfile is " + image + "dock-fw-1.3.0.0.bin", *run,
            re.compile(r"ReadFile\n .*Firmware install \(phase-1\) completed.*", re.S),
            "RealFWDownload tool exit code 0x0", "RealFWDownload end", "FWDownload waiting for the dock 60 s",
            "FWDownload dock after flash 1.2.3.4 -> 1.3.0.0", "RefreshDeviceList", "FillDataToListView",
            "fwver 1.3.0.0", "CopySelectItemInfo", "CopyTextToClipboard",
            *update, "FWDownload select fwfile is " + image + "dock-fw-2.0.0.0-fails.bin", *run,
            re.compile(r"ReadFile\n .*Firmware update failed.*", re.S),
            "RealFWDownload tool exit code 0x1", "RealFWDownload end", "RefreshDeviceList", "FillDataToListView", "fwver 1.3.0.0",
            *update, "TOPMOST", "TOPMOST", "ABOUT",
            "RefreshDeviceList", "FillDataToListView", "libusb_open_device_with_vid_pid failed",
            "RefreshDeviceList", "FillDataToListView", "fwver 1.3.0.0",
            *update, "FWDownload select fwfile is " + image + "dock-fw-1.4.0.0-slow.bin", *run, *QUIT_REFUSED,
            END_SESSION_REFUSED, END_SESSION_REFUSED,
            re.compile(r"ReadFile\n .*Firmware install \(phase-1\) completed.*", re.S),
            "RealFWDownload end", "FWDownload dock after flash 1.3.0.0 -> 1.4.0.0", "RefreshDeviceList",
            "FillDataToListView", "fwver 1.4.0.0",
            "CopySelectItemInfo", "CopyTextToClipboard", "QuitApp\n\n",
        ]
        position = 0
        for wanted in expected:
            while position < len(messages) and not (
                    wanted.fullmatch(messages[position]) if hasattr(wanted, "fullmatch")
                    else messages[position] == wanted):
                position += 1
            check(position < len(messages), "log line %r missing or out of order; log:\n%s" % (
                getattr(wanted, "pattern", wanted), text[-3000:]))
            position += 1
        check(messages[-1] == "QuitApp\n\n", "the log does not end with QuitApp: %r" % messages[-1])
        check(messages.count(END_SESSION_REFUSED) == 2, "%d WM_QUERYENDSESSION refusals in the log, expected the two"
              " during the update (logoff, Restart Manager)" % messages.count(END_SESSION_REFUSED))
        # The refused short file (the download just before the Topmost steps) starts no update.
        topmost = messages.index("TOPMOST")
        short_file = topmost - 1 - messages[topmost - 1::-1].index("FWDownload")
        check(not any(m.startswith(("FWDownload select", "RealFWDownload")) for m in messages[short_file:topmost]),
              "the too-short file was passed on")

    def cleanup(self):
        if self.program and self.program.poll() is None:
            os.killpg(self.program.pid, signal.SIGKILL)
            self.program.wait()
        self.end_looker()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 64
    suite = Suite(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "1033")
    try:
        suite.run()
        return 0
    except (Failure, subprocess.SubprocessError, OSError, KeyError, TypeError, ValueError) as error:
        try:
            print("FAILED (%s): %s\nscreenshot: %s" % (suite.lang, error, suite.screenshot("failure")))
        except Exception:
            print("FAILED (%s): %s" % (suite.lang, error))
        return 1
    finally:
        suite.cleanup()


if __name__ == "__main__":
    sys.exit(main())
