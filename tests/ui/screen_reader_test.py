#!/usr/bin/python3
"""The setup window as a screen reader sees it.

Installs a release served on 127.0.0.1 and removes it again through the accessibility
bus alone: on a private X display (Xvfb) and D-Bus session (dbus-run-session) with
at-spi-bus-launcher and at-spi2-registryd, it starts the setup, finds it by its process
id, walks the window's tree on every page (role, name, states, actions, text, value),
prints it, and presses the controls by their actions. It fails when a window is not a
frame with its title, when an interactive control has no name or is read after the
page's action button, and when a page cannot be read or operated.

    /usr/bin/python3 tests/ui/screen_reader_test.py --bin build/bin --work DIR

Exit codes: 0 passed, 1 failed, 77 skipped (naming what is missing).
"""
import argparse
import ctypes
import http.server
import importlib.util
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

BUS_LAUNCHER, REGISTRY = "/usr/libexec/at-spi-bus-launcher", "/usr/libexec/at-spi2-registryd"
WAIT_SECONDS = 120  # only a fault ends a wait, never a slow machine
INTERACTIVE_ROLES = {"push button", "check box", "radio button", "toggle button", "text", "entry", "combo box",
                     "spin button", "slider", "scroll bar", "list item", "menu item", "page tab", "link"}
faults = []


class Failure(Exception):
    pass


def wait_until(predicate, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not (result := predicate()):
        if time.monotonic() > deadline:
            raise Failure(f"waited {WAIT_SECONDS} s in vain for {what}")
        time.sleep(0.1)
    return result


def end_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: nothing outlives a killed test


class ReleaseServer:
    """Serves a release folder; a held file stops after a fraction of its body until
    the test has walked the page shown meanwhile."""

    def __init__(self, folder):
        self.holds = {}
        holds = self.holds

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                name = self.path.split("?")[0].rsplit("/", 1)[-1]
                path = os.path.join(folder, name)
                if name != "count" and not os.path.isfile(path):
                    return self.send_error(404)
                body = b"ok" if name == "count" else open(path, "rb").read()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                fraction, reached, opened = holds.get(name, (1, None, None))
                self.wfile.write(body[:int(len(body) * fraction)])
                self.wfile.flush()
                if reached:
                    reached.set()
                    opened.wait(WAIT_SECONDS * 5)
                    self.wfile.write(body[int(len(body) * fraction):])

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}/vrn/setup/"

    def hold(self, name, fraction):
        self.holds[name] = (fraction, threading.Event(), threading.Event())
        return self.holds[name][1:]

    def stop(self):
        for _, _, opened in self.holds.values():
            opened.set()
        self.httpd.shutdown()


class Node:
    """One object of the tree as a screen reader reads it."""

    def __init__(self, accessible, depth):
        import pyatspi
        self.accessible, self.depth = accessible, depth
        self.role, self.name = accessible.getRoleName(), accessible.name or ""
        self.states = {pyatspi.stateToString(s) for s in accessible.getState().getStates()}
        self.actions, self.text, self.value, self.corner = [], None, None, (0, 0)
        try:
            action = accessible.queryAction()
            self.actions = [action.getName(i) for i in range(action.nActions)]
        except NotImplementedError:
            pass
        try:
            text = accessible.queryText()
            self.text = text.getText(0, text.characterCount)
        except NotImplementedError:
            pass
        try:
            value = accessible.queryValue()
            self.value = (value.minimumValue, value.currentValue, value.maximumValue)
        except NotImplementedError:
            pass
        try:
            box = accessible.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
            self.corner = (box.y + box.height, box.x + box.width)
        except NotImplementedError:
            pass

    def __str__(self):
        states = self.states & {"checked", "enabled", "focused", "focusable", "editable", "indeterminate", "busy"}
        line = f"{'  ' * self.depth}{self.role} {self.name!r} [{' '.join(sorted(states))}]"
        if self.actions:
            line += f" actions={self.actions}"
        if self.text and self.text != self.name:
            line += f" text={self.text[:60]!r}... ({len(self.text)} characters)"
        return line + ("" if self.value is None else f" value={self.value}")


def walk(accessible, depth=0):
    """The objects of the tree that are on screen, depth first."""
    if depth == 0:
        accessible.clear_cache()
    node = Node(accessible, depth)
    if depth > 0 and "showing" not in node.states:
        return []
    nodes = [node]
    for index in range(accessible.childCount):
        if (child := accessible.getChildAtIndex(index)) is not None:
            nodes += walk(child, depth + 1)
    return nodes


def find(nodes, role, name=None):
    return next((node for node in nodes if node.role == role and name in (None, node.name)), None)


def all_of(nodes, role):
    return [node for node in nodes if node.role == role]


def action_button(nodes):
    """The page's button at the bottom right."""
    return max(all_of(nodes, "push button"), key=lambda button: button.corner, default=None)


def check_page(title, nodes):
    window, controls = nodes[0], [node for node in nodes[1:] if node.role in INTERACTIVE_ROLES or node.actions]
    if window.role not in ("frame", "dialog", "alert") or not window.name.strip():
        faults.append(f"{title}: the window is a {window.role} named {window.name!r}, not a frame with its title")
    faults.extend(f"{title}: a {node.role} without a name" for node in controls if not node.name.strip())
    # read as the Tab key goes: the page's controls, then its action button
    if window.role == "frame" and action_button(nodes) and controls[-1] is not action_button(nodes):
        faults.append(f"{title}: {controls[-1].role} {controls[-1].name!r} is read after the action button")


class Program:
    """A setup process (started here, or by the uninstaller) and its windows on the bus."""

    def __init__(self, connection, pid, process=None):
        self.connection, self.pid, self.process, self.pages = connection, pid, process, 0

    def alive(self):
        if self.process:
            return self.process.poll() is None
        try:
            with open(f"/proc/{self.pid}/stat") as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def application(self):
        import pyatspi
        desktop = pyatspi.Registry.getDesktop(0)
        desktop.clear_cache()
        for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
            try:
                if app is not None and app.get_process_id() == self.pid:
                    return app
            except Exception:  # noqa: BLE001 - an application that just left the bus
                pass
        if not self.alive():
            raise Failure(f"process {self.pid} ended before its window was found")
        return None

    def page(self, title, expect):
        """Waits until a window of the program shows what `expect` looks for, then
        prints the page and checks it."""
        seen = []

        def shown():
            app = self.application()
            for window in (app.getChildAtIndex(i) for i in range(app.childCount)) if app else ():
                if window is not None and (nodes := walk(window)) and "showing" in nodes[0].states:
                    seen[:] = nodes
                    if expect(nodes):
                        return nodes
            return None
        try:
            nodes = wait_until(shown, f"the page: {title}")
        except Failure:
            print(f"---- shown instead of the page: {title}\n" + "\n".join(map(str, seen)))
            raise
        print(f"---- {title}\n" + "\n".join(map(str, nodes)))
        check_page(title, nodes)
        self.pages += 1
        return nodes

    def press(self, node, answer=True):
        name = next((name for name in ("Press", "Toggle") if node and name in node.actions), None)
        if not name:
            raise Failure(f"no control to press: {node}")
        print(f"  -> {name}: {node.role} {node.name!r}")
        index = node.actions.index(name)
        if answer:
            node.accessible.queryAction().doAction(index)
        else:  # a button that opens a modal box answers only when the box closes
            from gi.repository import Gio, GLib
            self.connection.call(node.accessible.app.bus_name, node.accessible.path, "org.a11y.atspi.Action",
                                 "DoAction", GLib.Variant("(i)", (index,)), None, Gio.DBusCallFlags.NONE, -1,
                                 None, None, None)

    def wait_for_exit(self):
        wait_until(lambda: not self.alive(), f"the end of process {self.pid}")
        return self.process.returncode if self.process else 0

    def end(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
        if self.process:
            self.process.wait()


def install(program, descriptor, archive):
    wait_until(descriptor[0].is_set, "the request of the release descriptor")
    program.page("preparation", lambda nodes: len(nodes) > 1 and not action_button(nodes))
    descriptor[1].set()

    nodes = program.page("language", action_button)
    english, russian = find(nodes, "radio button", "English"), find(nodes, "radio button", "Русский")
    if not english or not russian:
        raise Failure("language: the choices English and Русский are not radio buttons a screen reader finds")
    if "checked" not in english.states or "checked" in russian.states:
        faults.append("language: the system's language (English) is not the one checked")
    program.press(russian)
    nodes = program.page("language, Русский chosen",
                         lambda nodes: "checked" in find(nodes, "radio button", "Русский").states)
    if "checked" in find(nodes, "radio button", "English").states:
        faults.append("language: English stays checked beside Русский")
    program.press(action_button(nodes))

    nodes = program.page("licence", lambda nodes: find(nodes, "check box"))
    if not any(node.text and len(node.text) > 1000 for node in nodes):
        faults.append("licence: no object carries the licence text")
    if not any("а" <= c <= "я" for c in find(nodes, "check box").name.lower()):
        faults.append("licence: the page is not in the language chosen")
    program.press(find(nodes, "check box"))
    program.press(action_button(program.page("licence accepted",
                                             lambda nodes: "enabled" in action_button(nodes).states)))

    nodes = program.page("choice", lambda nodes: len(all_of(nodes, "check box")) == 3)
    if len(all_of(nodes, "radio button")) != 2:
        faults.append("choice: the two ways (install, package) are not two radio buttons")
    program.press(all_of(nodes, "check box")[-1])  # the application is not started afterwards
    nodes = program.page("choice, no start afterwards",
                         lambda nodes: "checked" not in all_of(nodes, "check box")[-1].states)
    program.press(action_button(nodes), answer=False)
    nodes = program.page("confirmation box", lambda nodes: nodes[0].role == "alert")
    program.press(find(nodes, "push button", "Да"))

    wait_until(archive[0].is_set, "the download of the archive")
    # half of the archive has arrived: the bar says so
    program.page("progress", lambda nodes: (bar := find(nodes, "progress bar")) and bar.value and bar.value[1] > 0)
    archive[1].set()
    nodes = program.page("final", lambda nodes: not find(nodes, "progress bar") and action_button(nodes))
    program.press(action_button(nodes))
    if program.wait_for_exit() != 0:
        raise Failure(f"the install ended with exit code {program.process.returncode}")


class HeldLock:
    """The key store's lock file as another program writing it holds it. A lock file
    older than 30 s counts as left by a program that died, so it is kept fresh until
    it goes: reading a page can take that long on a loaded machine."""

    def __init__(self, path):
        self.path, self.released = path, threading.Event()
        open(path, "w").close()
        self.refresher = threading.Thread(target=self.refresh, daemon=True)
        self.refresher.start()

    def refresh(self):
        while not self.released.wait(5):
            os.utime(self.path)

    def release(self):
        self.released.set()
        self.refresher.join()
        os.remove(self.path)


def remove(program, key_store, log):
    nodes = program.page("removal: the edition", lambda nodes: find(nodes, "push button", "Uninstall Vorlen"))
    # the key store locked holds the removal on its progress page until the lock goes
    lock = HeldLock(key_store + ".lock")
    program.press(find(nodes, "push button", "Uninstall Vorlen"))
    if find(program.page("removal: progress", lambda nodes: find(nodes, "progress bar")), "progress bar").value is None:
        faults.append("removal: the progress bar has no value")
    if b"RemoveDesktopLink" in open(log, "rb").read():
        raise Failure("the removal did not wait for the locked key store: its progress page was read by chance")
    lock.release()
    nodes = program.page("removal: done", lambda nodes: not find(nodes, "progress bar") and action_button(nodes))
    program.press(action_button(nodes))
    program.wait_for_exit()


def publish(bin_dir, work):
    app = os.path.join(work, "app")
    os.makedirs(app)
    with open(os.path.join(app, "Vorlen.exe"), "w") as file:
        file.write("#!/bin/sh\necho Vorlen\n")
    with open(os.path.join(app, "data.bin"), "wb") as file:
        file.write(os.urandom(512 * 1024))  # incompressible: the download has a middle to stop in
    subprocess.run([os.path.join(bin_dir, "vrn-publish"), "--app", app, "--version", "15", "--number", "1",
                    os.path.join(work, "release")], check=True, stdout=subprocess.DEVNULL)
    return os.path.realpath(os.path.join(work, "release"))


def uninstaller_command(env):
    """The command of the menu entry that starts the installed uninstaller."""
    for folder, _, files in os.walk(os.path.join(env["XDG_DATA_HOME"], "applications")):
        for name in files:
            for line in open(os.path.join(folder, name), encoding="utf-8"):
                if line.startswith("Exec=") and "uninstall.exe" in line:
                    return shlex.split(line[5:].strip())
    raise Failure("the install left no menu entry that starts uninstall.exe")


def process_of(executable):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == executable:
                return int(pid)
        except OSError:
            pass
    return None


def run_session(bin_dir, work):
    services, programs, server = [], [], None
    try:
        read, write = os.pipe()
        services.append(subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"], pass_fds=[write],
                                         stderr=subprocess.DEVNULL, preexec_fn=end_with_parent))
        os.close(write)
        os.environ["DISPLAY"] = ":" + os.fdopen(read).readline().strip()
        for command in ([BUS_LAUNCHER, "--launch-immediately", "--a11y=1", "--screen-reader=1"], [REGISTRY]):
            services.append(subprocess.Popen(command, stderr=subprocess.DEVNULL, start_new_session=True,
                                             preexec_fn=end_with_parent))
        from gi.repository import Gio

        def bus_address():
            try:
                return Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
                    "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None,
                    Gio.DBusCallFlags.NONE, 2000).unpack()[0]
            except Exception:  # noqa: BLE001 - the launcher is not up yet
                return None
        connection = Gio.DBusConnection.new_for_address_sync(
            wait_until(bus_address, "the accessibility bus"),
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)

        server = ReleaseServer(publish(bin_dir, work))
        env = {key: value for key, value in os.environ.items() if not key.startswith(("LC_", "QT_", "VRN_"))}
        env.update(LANG="en_GB.UTF-8", QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   VRN_RELEASE_BASE_URL=server.base, VRN_BETA_BASE_URL=server.base + "beta/",
                   VRN_COUNTER_RELEASE_URL=server.base + "count", VRN_COUNTER_BETA_URL=server.base + "count")
        descriptor, archive = server.hold("system.xml", 0), server.hold("vrnsetup.zip", 0.5)
        setup = subprocess.Popen([os.path.join(bin_dir, "vrnsetup")], env=env, preexec_fn=end_with_parent)
        programs.append(Program(connection, setup.pid, setup))
        install(programs[-1], descriptor, archive)
        product = os.path.join(env["XDG_DATA_HOME"], "Ostrelle/Apps/Vorlen")
        if not os.path.isfile(os.path.join(product, "Vorlen.exe")):
            raise Failure(f"the install ended as a success, but {product}/Vorlen.exe is missing")

        # the menu entry starts the uninstaller, which starts its copy and ends
        starter = subprocess.Popen(uninstaller_command(env), env=env, preexec_fn=end_with_parent)
        if starter.wait(WAIT_SECONDS) != 0:
            raise Failure(f"the uninstaller ended with exit code {starter.returncode}")
        copy = os.path.join(env["TMPDIR"], "vrn-uninstall.exe")
        programs.append(Program(connection, wait_until(lambda: process_of(copy), "the uninstaller's copy")))
        remove(programs[-1], os.path.join(env["XDG_CONFIG_HOME"], "Tarnvek/vrn.conf"),
               os.path.join(env["TMPDIR"], "Vorlen_Setup_Uninstall.log"))
        for left in (product, os.path.join(env["XDG_CONFIG_HOME"], "Ostrelle/Vorlen")):
            if os.path.exists(left):
                raise Failure(f"the removal left {left}")
    except Failure as failure:
        faults.append(str(failure))
    finally:
        for program in programs:
            program.end()
        if server:
            server.stop()
        for service in reversed(services):
            os.killpg(service.pid, signal.SIGTERM) if service is not services[0] else service.terminate()
            service.wait()
    print("".join(f"FAULT: {fault}\n" for fault in faults) + f"{sum(p.pages for p in programs)} pages read, "
          f"{len(faults)} faults")
    return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the folder of vrnsetup and vrn-publish")
    parser.add_argument("--work", required=True, help="a folder the test empties and works in")
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    if os.environ.get("VRN_SCREEN_READER_SESSION") == "1":
        return run_session(os.path.abspath(args.bin), work)

    missing = [tool for tool in ("Xvfb", "dbus-run-session", "dbus-daemon") if not shutil.which(tool)]
    missing += [path for path in (BUS_LAUNCHER, REGISTRY) if not os.access(path, os.X_OK)]
    try:
        import gi
        gi.require_version("Atspi", "2.0")
        if importlib.util.find_spec("pyatspi") is None:
            raise ImportError("pyatspi")
    except (ImportError, ValueError):
        missing.append(f"pyatspi for {sys.executable} (python3-pyatspi)")
    if missing:
        print("SKIPPED: reading the window as a screen reader needs " + ", ".join(missing))
        return 77
    # the session, its services and the setup keep to a private home and temporary folder
    shutil.rmtree(work, ignore_errors=True)
    folders = {"HOME": "home", "XDG_CONFIG_HOME": "home/.config", "XDG_DATA_HOME": "home/.local/share",
               "XDG_CACHE_HOME": "home/.cache", "TMPDIR": "tmp", "XDG_RUNTIME_DIR": "tmp"}
    for variable, folder in folders.items():
        os.environ[variable] = os.path.join(work, folder)
        os.makedirs(os.environ[variable], mode=0o700, exist_ok=True)
    for variable in ("http_proxy", "HTTP_PROXY", "LANGUAGE"):
        os.environ.pop(variable, None)
    os.environ["VRN_SCREEN_READER_SESSION"] = "1"
    return subprocess.call(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
                           preexec_fn=end_with_parent)


if __name__ == "__main__":
    sys.exit(main())
