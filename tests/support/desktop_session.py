"""A private desktop for driving the window programs and front ends from
outside: Xvfb, a session bus, the accessibility bus with its registry, a tray
host (trayer, or a StatusNotifierItem host beside its watcher) and a
notification server. Every process started here is stopped by stop(), in
reverse order."""
import os
import re
import signal
import subprocess
import time

NOTIFYD = "/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd"


def require(condition, message):
    """A failed check ends the run at once: the next steps build on this one."""
    if not condition:
        raise AssertionError(message)


def wait_for(predicate, timeout, what, interval=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise TimeoutError("gave up waiting for " + what)


class DesktopSession:
    def __init__(self, run_dir, width=1024, height=600):
        self.run_dir = run_dir
        self.size = (width, height)
        self.processes = []
        self.env = dict(os.environ)

    def _spawn(self, args, **kwargs):
        process = subprocess.Popen(args, env=self.env, start_new_session=True, **kwargs)
        self.processes.append(process)
        return process

    def _read_fd_line(self, args, name):
        """Starts a program that prints an address on the descriptor named {fd} in args."""
        read_end, write_end = os.pipe()
        args = [arg.replace("{fd}", str(write_end)) for arg in args]
        process = self._spawn(args, pass_fds=(write_end,), stdin=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as stream:
            line = stream.readline().strip()
        if not line:
            raise RuntimeError(name + " did not start")
        return process, line

    def start(self, tray=True, accessibility=True):
        os.makedirs(self.run_dir, exist_ok=True)
        _, display = self._read_fd_line(
            ["Xvfb", "-displayfd", "{fd}", "-screen", "0", "%dx%dx24" % self.size, "-nolisten", "tcp", "-noreset"],
            "Xvfb")
        self.env["DISPLAY"] = ":" + display
        _, session = self._read_fd_line(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--address=unix:path=" + os.path.join(self.run_dir, "session_bus"), "--print-address={fd}"],
            "session bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = session
        if accessibility:
            _, a11y = self._read_fd_line(
                ["dbus-daemon", "--config-file=/usr/share/defaults/at-spi2/accessibility.conf", "--nofork",
                 "--nopidfile", "--address=unix:path=" + os.path.join(self.run_dir, "a11y_bus"),
                 "--print-address={fd}"], "accessibility bus")
            self.env["AT_SPI_BUS_ADDRESS"] = a11y
            subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", a11y],
                           env=self.env, check=True)
            self._spawn(["/usr/libexec/at-spi2-registryd"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(self._registry_up, 20, "the accessibility registry")
            self.env["QT_ACCESSIBILITY"] = "1"
            self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        if tray:
            self.start_trayer()
        # Qt reads these for its own processes; the Python side reads os.environ.
        os.environ.update({k: self.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS") if k in self.env})
        if accessibility:
            os.environ["AT_SPI_BUS_ADDRESS"] = self.env["AT_SPI_BUS_ADDRESS"]
        return self

    def _registry_up(self):
        result = subprocess.run(
            ["dbus-send", "--bus=" + self.env["AT_SPI_BUS_ADDRESS"], "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.atspi.Registry"],
            env=self.env, capture_output=True, text=True)
        return "boolean true" in result.stdout

    def start_trayer(self):
        """An XEmbed tray."""
        self.tray_host = self._spawn(
            ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
             "--SetDockType", "true", "--expand", "false", "--transparent", "false"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.window_ids("--class", "trayer"), 20, "the tray host")

    def busctl(self, *args):
        return subprocess.run(["busctl", "--user", "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"], *args],
                              env=self.env, capture_output=True, text=True)

    def has_owner(self, name):
        result = self.busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", "s", name)
        return result.stdout.strip() == "b true"

    def watcher_property(self, name):
        return subprocess.run(
            ["gdbus", "call", "--session", "--dest", "org.kde.StatusNotifierWatcher", "--object-path",
             "/StatusNotifierWatcher", "--method", "org.freedesktop.DBus.Properties.Get",
             "org.kde.StatusNotifierWatcher", name], env=self.env, capture_output=True, text=True)

    def registered_items(self):
        result = self.watcher_property("RegisteredStatusNotifierItems")
        return re.findall(r"'([^']*)'", result.stdout) if result.returncode == 0 else []

    def start_item_host(self):
        """A StatusNotifierItem host (gtk-sni-tray-standalone) beside its watcher."""
        self.watcher = self._spawn(["status-notifier-watcher"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.has_owner("org.kde.StatusNotifierWatcher"), 20, "the watcher")
        self.host = self._spawn(["gtk-sni-tray-standalone", "--top", "--end"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        wait_for(lambda: "true" in self.watcher_property("IsStatusNotifierHostRegistered").stdout, 30,
                 "the host registered")

    def stop_item_host(self):
        for process in (self.host, self.watcher):
            process.terminate()
            process.wait(timeout=10)
            self.processes.remove(process)
        wait_for(lambda: not self.has_owner("org.kde.StatusNotifierWatcher"), 20, "the watcher gone")

    def start_notification_server(self):
        self._spawn([NOTIFYD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.has_owner("org.freedesktop.Notifications"), 30, "the notification server")

    def window_ids(self, *search):
        result = subprocess.run(["xdotool", "search", "--onlyvisible", *search], env=self.env,
                                capture_output=True, text=True)
        return [line for line in result.stdout.split() if line]

    def geometry(self, window):
        result = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=self.env,
                                capture_output=True, text=True, check=True)
        values = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", "-depth", "8", path], env=self.env, check=True)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in reversed(self.processes):
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self.processes = []


class Accessible:
    """Reads the widgets of one program over the accessibility bus."""

    def __init__(self):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        self.Atspi = Atspi

    def applications(self, name):
        desktop = self.Atspi.get_desktop(0)
        found = []
        for i in range(desktop.get_child_count()):
            child = desktop.get_child_at_index(i)
            try:
                if child is not None and child.get_name() == name:
                    found.append(child)
            except Exception:  # an application that just left the bus
                pass
        return found

    def walk(self, node, depth=0, limit=12):
        if node is None or depth > limit:
            return
        yield node
        try:
            count = node.get_child_count()
        except Exception:
            return
        for i in range(count):
            try:
                child = node.get_child_at_index(i)
            except Exception:
                continue
            yield from self.walk(child, depth + 1, limit)

    def find(self, root, role=None, name=None):
        for node in self.walk(root):
            try:
                if role is not None and node.get_role_name() != role:
                    continue
                if name is not None and node.get_name() != name:
                    continue
                return node
            except Exception:
                continue
        return None

    def find_all(self, root, role):
        result = []
        for node in self.walk(root):
            try:
                if node.get_role_name() == role:
                    result.append(node)
            except Exception:
                continue
        return result

    def table_cells(self, table):
        """The table's cell texts, row by row (cells are listed row-major)."""
        columns = len(self.find_all(table, "table column header"))
        texts = [cell.get_name() for cell in self.find_all(table, "table cell")]
        if columns == 0:
            return []
        return [texts[i:i + columns] for i in range(0, len(texts) - len(texts) % columns, columns)]

    def press(self, node):
        action = node.get_action_iface()
        for i in range(action.get_n_actions()):
            if action.get_action_name(i) in ("Press", "press", "click", "Click", "SetFocus") and \
                    action.get_action_name(i) != "SetFocus":
                return action.do_action(i)
        return action.do_action(0)
