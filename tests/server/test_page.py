"""verimex-server's web page in a real headless browser (Debian's chromium
driven by chromedriver through python3-selenium), against the real server
inside the private network with scripted mail servers (server.zones):
the token prompt, a list pasted and started as a job, the live counts,
the results table and its filter, a transcript, the chart and the CSV
download. Any JavaScript error in the browser's console fails the test."""

import csv
import glob
import os
import shutil
import tempfile
import time
import unittest

from serverlib import ServerTest, wait_for

# python3-selenium: without it the import fails the test, never skips it.
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

TOKEN = "page-token"
HOSTILE = '<img src=x onerror="document.title=\'pwned\'">@yes.server.test'
ADDRESSES = ["alice@yes.server.test", "bob@no.server.test", "carol@down.server.test", "dave@nomx.server.test",
             "erin@yes.server.test", HOSTILE]
EXPECTED = {"verified": 3, "rejected": 1, "could_not_connect": 1, "no_mail_server": 1, "timed_out": 0,
            "other_errors": 0}


class Page(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = tempfile.mkdtemp(prefix="verimex-page-test.")
        cls.addClassCleanup(shutil.rmtree, cls.folder, ignore_errors=True)
        cls.downloads = os.path.join(cls.folder, "downloads")
        os.mkdir(cls.downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                    "--disable-extensions", "--user-data-dir=" + os.path.join(cls.folder, "profile"),
                    "--window-size=1280,1000", "--disable-background-networking"]:
            options.add_argument(arg)
        options.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                                  "download.prompt_for_download": False})
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.addClassCleanup(cls.driver.quit)
        cls.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": cls.downloads})

    def setUp(self):
        # A blank page and an empty console: nothing left of the test before.
        self.driver.get("about:blank")
        self.driver.get_log("browser")

    def errors_in_console(self):
        return [entry for entry in self.driver.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")
                and "401 (Unauthorized)" not in entry["message"]]

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def shown(self):
        """The addresses of the result rows shown."""
        return [r.find_elements(By.TAG_NAME, "td")[1].text
                for r in self.driver.find_elements(By.CSS_SELECTOR, "#results tbody tr.result-row")]

    def test_page_runs_a_job_from_list_to_download(self):
        d = self.driver
        server = self.start("--token", TOKEN, "-t", "10", "--mx-interval", "0", "--per-mx", "8")
        wait = WebDriverWait(d, 60, poll_frequency=0.1)
        d.get("http://127.0.0.1:%d/" % server.port)
        self.assertEqual(d.title, "verimex")

        # The server wants a token: the page asks for it.
        wait.until(lambda _: d.find_element(By.ID, "token-line").is_displayed())
        self.assertIn("token", self.text("message"))
        d.find_element(By.ID, "token").send_keys(TOKEN)
        d.find_element(By.ID, "token-save").click()

        d.find_element(By.ID, "addresses").send_keys("\n".join(["# a comment", ""] + ADDRESSES + [ADDRESSES[0]]))
        d.find_element(By.ID, "job-name").send_keys("browser")
        d.find_element(By.ID, "start").click()

        wait.until(lambda _: self.text("state") == "finished")
        self.assertIn("Job browser: 6 addresses added, 1 repeats left out.", self.text("message"))
        self.assertEqual(self.text("job-shown"), "browser")
        self.assertEqual((self.text("done"), self.text("total")), ("6", "6"))
        self.assertEqual({key: int(self.text("count-" + key)) for key in EXPECTED}, EXPECTED)
        self.assertEqual(d.find_element(By.ID, "bar-fill").get_attribute("style"), "width: 100%;")

        rows = wait.until(lambda _: (lambda r: r if len(r) == 6 else False)(
            d.find_elements(By.CSS_SELECTOR, "#results tbody tr.result-row")))
        cells = [r.find_elements(By.TAG_NAME, "td") for r in rows]
        self.assertEqual([c[1].text for c in cells], ADDRESSES)
        self.assertEqual((cells[0][2].text, cells[0][3].text, cells[1][2].text), ("verified", "000", "rejected"))
        # The address that carries markup (shown as text above) ran nothing.
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, "#results img"), [])
        self.assertEqual(d.title, "verimex")

        # Filtered by outcome.
        for outcome, addresses in [("verified", ["alice@yes.server.test", "erin@yes.server.test", HOSTILE]),
                                   ("could_not_connect", ["carol@down.server.test"])]:
            Select(d.find_element(By.ID, "filter")).select_by_value(outcome)
            self.assertEqual(self.shown(), addresses)

        # A transcript on demand.
        d.find_element(By.CSS_SELECTOR, "#results tbody tr.result-row button.show-transcript").click()
        transcript = d.find_element(By.CSS_SELECTOR, "#results tr.transcript pre").text
        self.assertIn("telnet: mx.down.server.test", transcript)
        self.assertIn("ERROR: could not connect to mx.down.server.test", transcript)

        # The chart: one bar per outcome, as tall as its count says.
        bars = d.find_elements(By.CSS_SELECTOR, "#chart rect")
        self.assertEqual([b.get_attribute("class") for b in bars], list(EXPECTED))
        heights = [int(b.get_attribute("height")) for b in bars]
        self.assertEqual((heights[0], heights[1], heights[4]), (120, 40, 0))

        # The CSV download, with the token, as a file.
        d.find_element(By.ID, "download-csv").click()
        path = os.path.join(self.downloads, "browser.csv")
        self.assertTrue(wait_for(lambda: os.path.exists(path), timeout=30, step=0.1), os.listdir(self.downloads))
        time.sleep(0.3)
        self.assertEqual(glob.glob(os.path.join(self.downloads, "*.crdownload")), [])
        with open(path, newline="", encoding="utf-8") as f:
            table = list(csv.reader(f))
        self.assertEqual(table[0][:3], ["address", "returnvar", "verified"])
        self.assertEqual([row[0] for row in table[1:]], ADDRESSES)
        self.assertEqual([row[2] for row in table[1:]], ["true", "false", "false", "false", "true", "true"])

        # One address checked at once, from the same page.
        d.find_element(By.ID, "check-email").send_keys("bob@no.server.test")
        d.find_element(By.ID, "check").click()
        wait.until(lambda _: d.find_element(By.ID, "check-result").is_displayed())
        self.assertIn("bob@no.server.test: 550 5.1.1", self.text("check-result"))

        self.assertEqual(self.errors_in_console(), [])

    def test_page_loads_without_errors_and_reports_a_refused_post(self):
        d = self.driver
        # As the README starts it: `verimex-server`, then open the page.
        server = self.start(readme=True)
        self.assertEqual(server.port, 8025)
        d.get("http://127.0.0.1:8025/")
        WebDriverWait(d, 20).until(lambda _: d.find_element(By.ID, "jobs").is_enabled())
        self.assertFalse(d.find_element(By.ID, "token-line").is_displayed())
        d.find_element(By.ID, "addresses").send_keys("a@yes.server.test")
        d.find_element(By.ID, "job-name").send_keys("bad/name")
        d.find_element(By.ID, "start").click()
        WebDriverWait(d, 20).until(lambda _: self.text("message").startswith("name: "))
        errors = [e for e in self.errors_in_console() if "400 (Bad Request)" not in e["message"]]
        self.assertEqual(errors, [])
        self.assertTrue(os.path.exists(os.path.join(server.cwd, "verimex-jobs.sqlite")))


if __name__ == "__main__":
    unittest.main()
