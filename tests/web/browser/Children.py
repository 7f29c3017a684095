"""The programs the page test runs: fakemodem, the ringlet program and the browser.

Each child runs in a process group of its own, so that stopping it also stops whatever it
started; every wait is bounded and a child that does not end in time is killed.
"""

import os
import selectors
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

# Upper bound for anything that waits on another process; never a speed check.
GenerousSeconds = 60


class EChild(Exception):
    """A child program did not do what the test needs of it."""


def Stop(process, name):
    """Ends a child's process group: SIGTERM, then SIGKILL when it lingers. Its exit status."""
    if process is None:
        return None
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            return process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            print(f"{name} did not end on SIGTERM; killed")
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=15)
            return None
    return process.returncode


def ReadText(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except FileNotFoundError:
        return ""


def FreeLoopbackPort():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class TFakeModem:
    """fakemodem on a pseudo-terminal: commands on its standard input, its account in a file."""

    def __init__(self, program, folder, env):
        self.Log = os.path.join(folder, "fakemodem.log")
        self.FProcess = None
        self.FProgram = program
        self.FEnv = env
        self.Device = ""

    def Start(self, args):
        with open(self.Log, "wb") as log:
            self.FProcess = subprocess.Popen(
                [self.FProgram] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=log, env=self.FEnv, start_new_session=True)
        # The device's path is the first line it prints.
        with selectors.DefaultSelector() as waiting:
            waiting.register(self.FProcess.stdout, selectors.EVENT_READ)
            if not waiting.select(timeout=GenerousSeconds):
                raise EChild("fakemodem printed no device")
        self.Device = self.FProcess.stdout.readline().decode().strip()
        if not self.Device:
            raise EChild("fakemodem printed no device: " + ReadText(self.Log))

    def Send(self, command):
        self.FProcess.stdin.write((command + "\n").encode())
        self.FProcess.stdin.flush()

    def Accounts(self, number):
        """What the modem did during each call from number, oldest first."""
        accounts = []
        current = None
        for line in ReadText(self.Log).splitlines():
            if "call from " in line:
                current = [] if line.split("call from ", 1)[1].split(" ")[0] == number else None
                if current is not None:
                    accounts.append(current)
            if current is not None:
                current.append(line)
        return ["\n".join(account) for account in accounts]

    def Stop(self):
        if self.FProcess is not None and self.FProcess.stdin:
            try:
                self.FProcess.stdin.close()
            except BrokenPipeError:
                pass
        return Stop(self.FProcess, "fakemodem")


class TRinglet:
    """The ringlet program, run from a copy in the test's folder so that its settings file
    (beside the program) is the test's own."""

    def __init__(self, program, folder, env):
        self.FBuilt = program
        self.Program = os.path.join(folder, "ringlet")
        self.FEnv = env
        self.FProcess = None
        self.Out = os.path.join(folder, "ringlet.out")
        self.Err = os.path.join(folder, "ringlet.err")

    def Install(self):
        shutil.copy(self.FBuilt, self.Program)

    def SetPassword(self, password):
        run = subprocess.run([self.Program, "--set-web-password"], input=(password + "\n").encode(),
                             capture_output=True, env=self.FEnv, timeout=GenerousSeconds)
        if run.returncode != 0:
            raise EChild(f"--set-web-password ended with {run.returncode}: "
                         + run.stderr.decode(errors="replace"))

    def Start(self, args):
        with open(self.Out, "wb") as out, open(self.Err, "wb") as err:
            self.FProcess = subprocess.Popen([self.Program] + args, stdin=subprocess.DEVNULL,
                                             stdout=out, stderr=err, env=self.FEnv,
                                             start_new_session=True)

    def WaitForPage(self, url):
        """Waits until the server answers the page; fails when the program ends first."""
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        end = time.monotonic() + GenerousSeconds
        while time.monotonic() < end:
            if self.FProcess.poll() is not None:
                raise EChild(f"ringlet ended with {self.FProcess.returncode}")
            try:
                with opener.open(url, timeout=5) as answer:
                    if answer.status == 200:
                        return
            except (urllib.error.URLError, ConnectionError, OSError):
                pass
            time.sleep(0.2)
        raise EChild("the page was not served within the bound")

    def WaitForCallLines(self, count):
        """Waits until the console has printed count call lines."""
        end = time.monotonic() + GenerousSeconds
        while time.monotonic() < end:
            if len(ReadText(self.Out).splitlines()) >= count:
                return
            if self.FProcess.poll() is not None:
                raise EChild(f"ringlet ended with {self.FProcess.returncode}")
            time.sleep(0.1)
        raise EChild(f"ringlet printed fewer than {count} calls")

    def Stop(self):
        return Stop(self.FProcess, "ringlet")


def StartBrowser(folder, env):
    """Headless Chromium through Debian's chromedriver; nothing leaves the loopback."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--user-data-dir=" + os.path.join(folder, "chromium"),
                     "--window-size=1280,900", "--no-first-run", "--no-default-browser-check",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--disable-default-apps", "--disable-extensions",
                     "--disable-domain-reliability", "--disable-client-side-phishing-detection",
                     # Anything but the loopback goes to a proxy that is not there.
                     "--proxy-server=http://127.0.0.1:9"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.ignore_local_proxy_environment_variables()
    service = Service("/usr/bin/chromedriver", log_path=os.path.join(folder, "chromedriver.log"),
                      env=env, popen_kw={"start_new_session": True})
    return webdriver.Chrome(service=service, options=options)


def StopBrowser(driver):
    """Ends the browser and its driver, and kills what is left of them."""
    try:
        driver.quit()
    finally:
        Stop(driver.service.process, "chromedriver")
