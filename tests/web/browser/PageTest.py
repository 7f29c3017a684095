#!/usr/bin/python3
"""The web page in a real browser, end to end.

Headless Chromium, driven by Selenium through chromedriver, uses the page that
`ringlet --console --web-listen` serves while fakemodem plays calls on a pseudo-terminal
through the real telephony library: logging in, the calls already kept, a new call appearing
without a reload, a caller's name holding markup shown as text, a number blocked through the
page and its next call picked up and put down, unblocked again, and the page at a phone's and
a desktop's width. Everything runs in a temporary folder of its own; every wait is bounded.

Usage: PageTest.py --build-dir BUILD [--screenshots FOLDER] [--keep]
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time
import traceback
import urllib.request

# The helpers are imported from the source folder, which stays free of compiled files.
sys.dont_write_bytecode = True

from selenium.common.exceptions import (NoAlertPresentException, NoSuchElementException,
                                        StaleElementReferenceException, TimeoutException)
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

import Children
from Children import GenerousSeconds

Password = "kettle on the hob 42"
# As much markup as fits a caller-ID name (15 characters), and a longer contact name.
LineMarkup = "<img src=x><b>"
ContactMarkup = "<img src=x onerror=alert(1)>"
Known, Fresh, Nuisance, Stranger = "4075551212", "3125550147", "2065550183", "6175550122"


class EPage(AssertionError):
    """The page did not show what it should."""


def Check(condition, text):
    if not condition:
        raise EPage(text)


class TPage:
    """The page in the browser, seen through what a person sees and clicks."""

    def __init__(self, driver, url):
        self.Driver = driver
        self.Url = url

    def Wait(self, what, condition):
        """Waits until condition() is true; fails with what when the bound passes first."""
        waiting = WebDriverWait(self.Driver, GenerousSeconds, poll_frequency=0.1,
                                ignored_exceptions=(NoSuchElementException,
                                                    StaleElementReferenceException))
        try:
            return waiting.until(lambda driver: condition())
        except TimeoutException:
            raise EPage("not seen within the bound: " + what) from None

    def Element(self, css):
        return self.Driver.find_element(By.CSS_SELECTOR, css)

    def Elements(self, css):
        return self.Driver.find_elements(By.CSS_SELECTOR, css)

    def Shown(self, css):
        found = self.Elements(css)
        return bool(found) and found[0].is_displayed()

    def Rows(self, number):
        return self.Elements(f'#call-rows tr[data-number="{number}"]')

    def Caller(self, row):
        return row.find_element(By.CSS_SELECTOR, ".caller").get_property("textContent")

    def LogIn(self, password):
        field = self.Element("#password")
        field.clear()
        field.send_keys(password)
        self.Element("#login-button").click()

    def Message(self):
        return self.Element("#message").get_property("textContent")

    def NoAlert(self):
        try:
            alert = self.Driver.switch_to.alert
        except NoAlertPresentException:
            return
        text = alert.text
        alert.dismiss()
        raise EPage("an alert was shown: " + text)

    def NoHorizontalScroll(self, width):
        inner, scrolled = self.Driver.execute_script(
            "return [window.innerWidth, document.documentElement.scrollWidth]")
        Check(inner == width, f"the window is {inner} px wide, not {width}")
        Check(scrolled <= inner, f"the page is {scrolled} px wide in a {inner} px window")


class TScenario:
    def __init__(self, arguments):
        self.Build = os.path.abspath(arguments.build_dir)
        self.Shots = os.path.abspath(arguments.screenshots or os.getcwd())
        self.Keep = arguments.keep
        self.Folder = tempfile.mkdtemp(prefix="ringlet-page-")
        self.Env = {name: value for name, value in os.environ.items()
                    if not name.lower().endswith("_proxy")}
        self.Env.update({
            "HOME": os.path.join(self.Folder, "home"),
            "RINGLET_TELEPHONY_CONFIG": os.path.join(self.Folder, "telephony.ini"),
            "RINGLET_REGISTRY_FILE": os.path.join(self.Folder, "registry"),
            "RINGLET_LIBRARY_PATH": os.path.join(self.Build, "telephony"),
            # The history, contacts and block list of the test's own.
            "XDG_DATA_HOME": os.path.join(self.Folder, "data"),
            "XDG_CONFIG_HOME": os.path.join(self.Folder, "config"),
        })
        os.makedirs(self.Env["HOME"])
        self.Modem = Children.TFakeModem(os.path.join(self.Build, "tools/fakemodem/fakemodem"),
                                         self.Folder, self.Env)
        self.Ringlet = Children.TRinglet(os.path.join(self.Build, "app/ringlet"), self.Folder,
                                         self.Env)
        self.Driver = None
        self.Page = None
        self.Step = "starting"

    # ---- the programs ----------------------------------------------------------------------

    def StartPrograms(self):
        # Rings far apart, so that a caller cut off after the caller ID never hears a second;
        # an answer that never connects, so that a blocked call ends only by the hang-up.
        # The line is configured by a link that fakemodem removes when unplugged and makes
        # again when plugged back, as a USB modem's by-id name.
        link = os.path.join(self.Folder, "modem")
        self.Modem.Start(["--ring-spacing", "3000", "--answer-delay", "30000", "--link", link])
        with open(self.Env["RINGLET_TELEPHONY_CONFIG"], "w") as config:
            config.write(f"[Line1]\nName=Fake Modem 1\nDevice={link}\n"
                         "RingTimeout=3\nCheckInterval=0\nCallerIdPause=0.3\n")
        self.Ringlet.Install()
        self.Ringlet.SetPassword(Password)
        port = Children.FreeLoopbackPort()
        self.Ringlet.Start(["--console", "--web-listen", f"127.0.0.1:{port}"])
        url = f"http://127.0.0.1:{port}/"
        self.Ringlet.WaitForPage(url)
        # The modem answers the line's set-up before the first call is played.
        self.Modem.Send("sleep 1500")
        self.Modem.Send(f'call {Known} "DOE JOHN" rings=1')
        self.Ringlet.WaitForCallLines(1)
        self.Driver = Children.StartBrowser(self.Folder, self.Env)
        self.Page = TPage(self.Driver, url)

    def WaitForCallOver(self, number, count):
        """The modem's account of the count-th call from number, once that call is over."""
        end = time.monotonic() + GenerousSeconds
        while time.monotonic() < end:
            accounts = self.Modem.Accounts(number)
            if len(accounts) >= count and "call over" in accounts[count - 1]:
                return accounts[count - 1]
            time.sleep(0.2)
        raise EPage(f"fakemodem did not end call {count} from {number} within the bound")

    # ---- the steps ---------------------------------------------------------------------------

    def LogIn(self):
        page = self.Page
        self.Driver.get(page.Url)
        page.Wait("the login form", lambda: page.Shown("#password"))
        Check(not page.Shown("#monitor"), "the calls are shown before logging in")
        page.LogIn("not the password")
        page.Wait("the wrong password told",
                  lambda: "Wrong password" in page.Element("#login-error").text)
        Check(not page.Shown("#monitor"), "a wrong password showed the calls")
        page.LogIn(Password)
        page.Wait("the calls after logging in", lambda: page.Shown("#monitor"))
        Check(not page.Shown("#login"), "the login form stays after logging in")

    def SeeCalls(self):
        page = self.Page
        page.Wait("the call kept before the page was opened", lambda: page.Rows(Known))
        Check(page.Caller(page.Rows(Known)[0]) == "DOE JOHN", "the kept call's name")
        page.Wait("the line watching", lambda: page.Elements("#lines .state-watching"))
        Check("Fake Modem 1" in page.Element("#lines").text, "the line's name")
        # A reload would lose this mark.
        self.Driver.execute_script("document.body.dataset.mark = 'kept';")
        self.Modem.Send(f'call {Fresh} "OKAFOR GRACE" rings=1')
        page.Wait("the new call's row, live", lambda: page.Rows(Fresh))
        Check(self.Driver.execute_script("return document.body.dataset.mark") == "kept",
              "the page was reloaded to show the new call")
        first = page.Element("#call-rows tr")
        Check(first.get_attribute("data-number") == Fresh, "the new call is not the top row")
        Check(page.Caller(first) == "OKAFOR GRACE", "the new call's name")
        # A reload keeps the session.
        self.Driver.refresh()
        page.Wait("the calls again after a reload", lambda: page.Rows(Fresh))
        Check(not page.Shown("#login"), "a reload asked for the password again")

    def MarkupIsText(self):
        page = self.Page
        table = page.Element("#calls")
        self.Modem.Send(f'call {Nuisance} "{LineMarkup}" rings=1')
        page.Wait("the call whose name holds markup", lambda: page.Rows(Nuisance))
        row = page.Rows(Nuisance)[0]
        Check(page.Caller(row) == LineMarkup, f"the name shows as {page.Caller(row)!r}")
        Check(LineMarkup in row.text, "the name's characters are not what a person sees")
        for tag in ["img", "b"]:
            Check(not table.find_elements(By.TAG_NAME, tag), f"a <{tag}> was made from a name")

        # The same caller named, through the page, with a longer piece of markup.
        row.find_element(By.CSS_SELECTOR, "button.add").click()
        page.Wait("the contact form", lambda: page.Shown("#contact-name"))
        Check(page.Element("#contact-number").text == Nuisance, "the contact form's number")
        field = page.Element("#contact-name")
        Check(field.get_property("value") == LineMarkup, "the form starts from the line's name")
        field.clear()
        field.send_keys(ContactMarkup)
        page.Element("#contact-save").click()
        page.Wait("the contact's name on the row",
                  lambda: page.Caller(page.Rows(Nuisance)[0]) == ContactMarkup)
        page.Wait("the result told", lambda: ContactMarkup in page.Message())
        Check(not page.Shown("#contact-dialog"), "the contact form stays open")
        for where in ["#calls", "#message"]:
            Check(not page.Element(where).find_elements(By.TAG_NAME, "img"),
                  f"an <img> was made from the contact's name in {where}")
        Check(not page.Rows(Nuisance)[0].find_elements(By.CSS_SELECTOR, "button.add"),
              "a caller who is a contact is offered as a new contact")
        page.NoAlert()
        with open(os.path.join(self.Env["XDG_CONFIG_HOME"], "ringlet/contacts.vcf"),
                  encoding="utf-8") as contacts:
            Check(ContactMarkup in contacts.read(), "the contact is not in contacts.vcf")

    def BlockAndUnblock(self):
        page = self.Page
        page.Rows(Fresh)[0].find_element(By.CSS_SELECTOR, "button.block").click()
        page.Wait("the block told", lambda: "Blocked " + Fresh in page.Message())
        page.Wait("Unblock offered on the number's row",
                  lambda: page.Rows(Fresh)[0].find_elements(By.CSS_SELECTOR, "button.unblock"))
        Check("on block list" in page.Rows(Fresh)[0].get_property("textContent"),
              "the row does not say it is listed")

        self.Modem.Send(f'call {Fresh} "OKAFOR GRACE" rings=2')
        page.Wait("the blocked call's row", lambda: len(page.Rows(Fresh)) == 2)
        page.Wait("the blocked call marked",
                  lambda: "blocked" in page.Rows(Fresh)[0].get_attribute("class").split())
        account = self.WaitForCallOver(Fresh, 2)
        off_hook, on_hook = account.find("<- ATH1"), account.find("<- ATH0")
        Check(off_hook >= 0 and on_hook > off_hook, "the blocked call was not picked up and put "
              "down:\n" + account)
        Check("the caller is cut off" in account, "the blocked call's end:\n" + account)
        Check("<- ATA" not in account, "the blocked call was answered:\n" + account)
        Check("ring 2/2" not in account, "the blocked caller heard a second ring:\n" + account)

        page.Rows(Fresh)[0].find_element(By.CSS_SELECTOR, "button.unblock").click()
        page.Wait("the unblock told", lambda: "Unblocked " + Fresh in page.Message())
        page.Wait("Block offered again on every row of the number",
                  lambda: all(row.find_elements(By.CSS_SELECTOR, "button.block")
                              for row in page.Rows(Fresh)))
        # Past the ring time-out: until then rings of this number are taken for the rejected
        # caller's, not for a new call.
        self.Modem.Send("sleep 3500")
        self.Modem.Send(f'call {Fresh} "OKAFOR GRACE" rings=1')
        page.Wait("the unblocked number's next call", lambda: len(page.Rows(Fresh)) == 3)
        account = self.WaitForCallOver(Fresh, 3)
        Check("<- ATA" not in account, "the unblocked number was picked up:\n" + account)
        Check("blocked" not in page.Rows(Fresh)[0].get_attribute("class").split(),
              "the unblocked number's call is marked blocked")

    def Search(self):
        page = self.Page
        page.Element("#q").send_keys("okafor")
        page.Element("#filters button[type=submit]").click()
        page.Wait("only the searched caller's calls",
                  lambda: not page.Rows(Known) and len(page.Rows(Fresh)) == 3)
        link = page.Element("#csv").get_attribute("href")
        Check(link.endswith("/api/history.csv?q=okafor"), "the CSV link's filter: " + link)
        session = self.Driver.get_cookie("ringlet_session")
        Check(session is not None, "no session cookie")
        Check(session.get("httpOnly") is True, "the session cookie is open to scripts")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        opener.addheaders = [("Cookie", "ringlet_session=" + session["value"])]
        with opener.open(link, timeout=GenerousSeconds) as answer:
            Check(answer.headers.get_content_type() == "text/csv", "the download is not CSV")
            table = answer.read().decode()
        rows = [line for line in table.splitlines() if Fresh in line]
        Check(len(rows) == 3 and Known not in table, "the CSV's rows:\n" + table)

        # A day after every call: none.
        self.Driver.execute_script("document.getElementById('since').value = '2099-01-01';")
        page.Element("#filters button[type=submit]").click()
        page.Wait("no calls from a day to come", lambda: page.Shown("#empty"))
        Check(not page.Elements("#call-rows tr"), "calls shown from a day to come")
        Check("since=2099-01-01" in page.Element("#csv").get_attribute("href"),
              "the CSV link leaves the date out")

        page.Element("#clear").click()
        page.Wait("every call again", lambda: page.Rows(Known) and page.Rows(Nuisance))
        Check(page.Element("#q").get_property("value") == "", "the search box is not cleared")

    def Screenshots(self):
        page = self.Page
        self.Modem.Send(f'call {Stranger} "HADDAD SAMIR" rings=1')
        page.Wait("one more live call", lambda: page.Rows(Stranger))
        os.makedirs(self.Shots, exist_ok=True)

        self.Driver.set_window_size(1280, 900)
        page.Wait("the desktop width", lambda: self.Driver.execute_script(
            "return window.innerWidth") == 1280)
        page.NoHorizontalScroll(1280)
        Check(page.Element("#calls thead th").is_displayed(), "no table head on a desktop")
        self.Driver.save_screenshot(os.path.join(self.Shots, "page-desktop.png"))

        self.Driver.set_window_size(360, 900)
        page.Wait("the phone width", lambda: self.Driver.execute_script(
            "return window.innerWidth") == 360)
        page.NoHorizontalScroll(360)
        Check(not page.Element("#calls thead th").is_displayed(),
              "the table head is shown on a phone: the calls are not cards")
        for button in page.Elements("#call-rows button"):
            height = button.rect["height"]
            Check(height >= 40, f"a {height} px high button is too small to touch")
        self.Driver.save_screenshot(os.path.join(self.Shots, "page-phone.png"))
        self.Driver.execute_script("document.getElementById('call-rows').scrollIntoView();")
        self.Driver.save_screenshot(os.path.join(self.Shots, "page-phone-calls.png"))
        self.Driver.set_window_size(1280, 900)

    def LineLostAndBack(self):
        page = self.Page
        self.Driver.execute_script("document.body.dataset.mark = 'kept';")
        self.Modem.Send("unplug")
        page.Wait("the line shown lost", lambda: page.Elements("#lines .state-lost"))
        Check("lost" in page.Element("#lines").get_property("textContent"), "the lost line's state")
        self.Modem.Send("plug")
        page.Wait("the line shown watching again",
                  lambda: page.Elements("#lines .state-watching"))
        Check(not page.Elements("#lines .state-lost"), "the line is still shown lost")
        Check(self.Driver.execute_script("return document.body.dataset.mark") == "kept",
              "the page was reloaded to show the line's state")

    def LogOut(self):
        page = self.Page
        page.Element("#logout").click()
        page.Wait("the login form after logging out", lambda: page.Shown("#password"))
        self.Driver.refresh()
        page.Wait("the login form after a reload", lambda: page.Shown("#password"))
        Check(not page.Shown("#monitor"), "the calls are shown after logging out")

    def BrowserLogIsClean(self):
        """No script error and nothing the page's security policy refused."""
        for entry in self.Driver.get_log("browser"):
            text = entry.get("message", "")
            Check(entry.get("source") != "javascript", "a script error: " + text)
            Check("Content Security Policy" not in text and "Refused to" not in text,
                  "the page broke its security policy: " + text)

    # ---- running -----------------------------------------------------------------------------

    def Run(self):
        steps = [("starting the programs", self.StartPrograms), ("logging in", self.LogIn),
                 ("seeing the calls", self.SeeCalls), ("markup as text", self.MarkupIsText),
                 ("blocking and unblocking", self.BlockAndUnblock), ("searching", self.Search),
                 ("phone and desktop widths", self.Screenshots),
                 ("a line lost and back", self.LineLostAndBack), ("logging out", self.LogOut),
                 ("the browser's log", self.BrowserLogIsClean)]
        for name, step in steps:
            self.Step = name
            print(f"-- {name}", flush=True)
            step()
        self.Step = "stopping ringlet"
        status = self.Ringlet.Stop()
        Check(status == 0, f"ringlet ended with {status} on SIGTERM")

    def Tell(self):
        """What a failure needs to be understood: the page, the browser and the programs."""
        print(f"FAILED while {self.Step}:")
        traceback.print_exc()
        if self.Driver is not None:
            try:
                print("---- the page's text:\n" + self.Driver.find_element(By.TAG_NAME, "body").text)
                for entry in self.Driver.get_log("browser"):
                    print("browser:", entry.get("message", ""))
                self.Driver.save_screenshot(os.path.join(self.Shots, "page-failure.png"))
            except Exception as error:
                print("the page could not be read:", error)
        print("---- ringlet's output:\n" + Children.ReadText(self.Ringlet.Out))
        print("---- ringlet's errors:\n" + Children.ReadText(self.Ringlet.Err))
        print("---- fakemodem's account (end):\n"
              + "\n".join(Children.ReadText(self.Modem.Log).splitlines()[-120:]))

    def CleanUp(self):
        if self.Driver is not None:
            try:
                Children.StopBrowser(self.Driver)
            except Exception as error:
                print("stopping the browser:", error)
        self.Ringlet.Stop()
        self.Modem.Stop()
        if self.Keep:
            print("kept:", self.Folder)
        else:
            shutil.rmtree(self.Folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--screenshots", help="where the screenshots go (default: here)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    scenario = TScenario(parser.parse_args())
    # Stopped from outside, the children are still stopped and the folder removed.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit("stopped by SIGTERM"))
    try:
        scenario.Run()
    except Exception:
        scenario.Tell()
        return 1
    finally:
        scenario.CleanUp()
    print("page test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
