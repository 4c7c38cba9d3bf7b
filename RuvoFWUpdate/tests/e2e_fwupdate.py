#!/usr/bin/python3
"""End to end: the firmware updater on a private desktop against a slow
emulated printer. A user's steps are taken from outside (pointer, keyboard and
the accessibility bus); while the image is written the window must keep
answering accessibility queries, show the progress dialog with a rising share
and keep its own controls disabled. The printer must receive the image byte
for byte. Every process started here is stopped at the end.

usage: e2e_fwupdate.py <ruvoK40FW> <usb-printer-emulator>"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from desktop_session import Accessible, DesktopSession, require as check, wait_for  # noqa: E402
from ruvo_rig import stop_process  # noqa: E402

TITLE = "Ruvo打印机升级助手"
IMAGE_SIZE = 6 * 1024 * 1024  # 96 pieces of 64 KiB
PIECE_DELAY_MS = 40           # a printer that takes about 1.6 MB/s
SLOWEST_ANSWER_S = 2.0        # a window that stops for the transfer takes its whole length


def click(session, node):
    from gi.repository import Atspi
    extents = node.get_extents(Atspi.CoordType.SCREEN)
    subprocess.run(["xdotool", "mousemove", str(extents.x + extents.width // 2),
                    str(extents.y + extents.height // 2), "click", "1"], env=session.env, check=True)


def main():
    tool, runner = sys.argv[1], sys.argv[2]
    run = tempfile.mkdtemp(prefix="ruvo-e2e-fw-")
    image_path = os.path.join(run, "firmware.fls")
    record = os.path.join(run, "received.bin")
    image = os.urandom(IMAGE_SIZE)
    with open(image_path, "wb") as f:
        f.write(image)

    session = DesktopSession(os.path.join(run, "desktop"), 1024, 768)
    app = None
    try:
        session.start(tray=False)
        # See e2e_tray.py: the desktop plugins' own blocks are not ours to check.
        session.env["ASAN_OPTIONS"] = session.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0:strict_string_checks=0"
        a11y = Accessible()
        from gi.repository import Atspi
        app = subprocess.Popen([runner, "--out-delay-ms", str(PIECE_DELAY_MS), "--record", record, "--", tool],
                               env=session.env)
        program = wait_for(lambda: a11y.applications("ruvoK40FW"), 60, "the updater on the bus")[0]
        frame = wait_for(lambda: a11y.find(program, name=TITLE), 60, "the updater's window")
        cell = wait_for(lambda: a11y.find(frame, role="table cell", name="Ruvo_Printer"), 30, "the printer's row")
        click(session, cell)
        path_field = wait_for(lambda: a11y.find(frame, role="text"), 30, "the file path field")
        click(session, path_field)
        subprocess.run(["xdotool", "type", "--delay", "5", image_path], env=session.env, check=True)
        wait_for(lambda: path_field.get_text_iface().get_text(0, -1) == image_path, 30, "the typed path")
        start = a11y.find(frame, role="push button", name="一键升级")
        a11y.press(start)

        question = "是否升级打印机 Ruvo_Printer ？"
        wait_for(lambda: a11y.find(program, name=question), 30, "the confirmation")
        a11y.press(wait_for(lambda: a11y.find(program, role="push button", name="确  定"), 30, "its OK button"))

        bar = wait_for(lambda: a11y.find(program, role="progress bar"), 30, "the progress dialog")
        label = a11y.find(program, name="正在升级打印机 Ruvo_Printer……\n请勿断开打印机的连接或电源。")
        check(label is not None, "the progress dialog's warning")
        # Read the window while the printer takes the image: every answer must
        # come quickly, the share must rise, and the window's controls stay off.
        values, slowest, controls_on = [], 0.0, False
        done = "操作成功，请等待打印机更新完成，更新过程中请勿断开电源。"
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            asked = time.monotonic()
            try:
                value = bar.get_value_iface().get_current_value()
                program.clear_cache()
                enabled = start.get_state_set().contains(Atspi.StateType.ENABLED)
            except Exception:  # the dialog went away between two questions
                break
            slowest = max(slowest, time.monotonic() - asked)
            if 0 < value < 100:
                values.append(value)
                controls_on = controls_on or enabled
            if value >= 100 or a11y.find(program, name=done):
                break
            time.sleep(0.1)
        print("e2e: progress values seen while writing: %s; slowest answer %.3f s" % (sorted(set(values)), slowest))
        check(len(set(values)) >= 3, "the share shown did not rise during the write: %r" % values)
        check(values == sorted(values), "the share went down: %r" % values)
        check(slowest < SLOWEST_ANSWER_S, "the window took %.1f s to answer during the write" % slowest)
        check(not controls_on, "the window's controls were enabled during the write")

        wait_for(lambda: a11y.find(program, name=done), 120, "the closing message")
        a11y.press(wait_for(lambda: a11y.find(program, role="push button", name="确  定"), 30, "its OK button"))
        wait_for(lambda: a11y.find(program, role="progress bar") is None, 30, "the progress dialog to close")
        program.clear_cache()
        check(start.get_state_set().contains(Atspi.StateType.ENABLED), "the controls stayed disabled")
    finally:
        if app:
            stop_process(app)  # the runner passes SIGTERM on to the updater, then writes its record
        session.stop()
    with open(record, "rb") as f:
        received = f.read()
    check(received == image, "the printer received %d bytes, not the image of %d" % (len(received), len(image)))
    print("e2e: %d bytes arrived byte for byte; the window answered throughout" % len(received))
    return 0


if __name__ == "__main__":
    sys.exit(main())
