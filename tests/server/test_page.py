"""verimex-server's page in Debian's headless chromium (chromedriver, python3-selenium), against the real
server and the scripted mail servers of server.zones. Any JavaScript error in the console fails it."""

import csv
import os
import tempfile
import time

from serverlib import ServerTest, wait_for

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

TOKEN = "page-token"
HOSTILE = '<img src=x onerror="document.title=\'pwned\'">@yes.server.test'
ADDRESSES = ["alice@yes.server.test", "bob@no.server.test", "carol@down.server.test", "dave@nomx.server.test",
             "erin@yes.server.test", HOSTILE]
COUNTS = {"verified": 3, "rejected": 1, "could_not_connect": 1, "no_mail_server": 1, "timed_out": 0,
          "other_errors": 0}


class Page(ServerTest):
    def test_page_runs_a_job_from_list_to_download(self):
        server = self.start("--token", TOKEN, "-t", "10", "--mx-interval", "0", "--per-mx", "8")
        folder = tempfile.TemporaryDirectory(prefix="verimex-page-test.")
        self.addCleanup(folder.cleanup)
        downloads = os.path.join(folder.name, "downloads")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["headless=new", "no-sandbox", "disable-dev-shm-usage", "disable-gpu", "no-first-run",
                    "disable-extensions", "disable-background-networking", "window-size=1280,1000",
                    "user-data-dir=" + folder.name + "/profile"]:
            options.add_argument("--" + arg)
        options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                                  "download.prompt_for_download": False})
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(d.quit)
        d.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        wait = WebDriverWait(d, 60, poll_frequency=0.1)
        text = lambda element_id: d.find_element(By.ID, element_id).text  # noqa: E731
        result_rows = lambda: d.find_elements(By.CSS_SELECTOR, "#results tbody tr.result-row")  # noqa: E731

        # The server wants a token: the page asks for it.
        d.get("http://127.0.0.1:%d/" % server.port)
        wait.until(lambda _: d.find_element(By.ID, "token-line").is_displayed())
        self.assertIn("token", text("message"))
        d.find_element(By.ID, "token").send_keys(TOKEN)
        d.find_element(By.ID, "token-save").click()

        d.find_element(By.ID, "addresses").send_keys("\n".join(["# a comment", ""] + ADDRESSES + [ADDRESSES[0]]))
        d.find_element(By.ID, "job-name").send_keys("browser")
        d.find_element(By.ID, "start").click()
        wait.until(lambda _: text("state") == "finished")
        self.assertIn("Job browser: 6 addresses added, 1 repeats left out.", text("message"))
        self.assertEqual((text("job-shown"), text("done"), text("total")), ("browser", "6", "6"))
        self.assertEqual({key: int(text("count-" + key)) for key in COUNTS}, COUNTS)
        self.assertEqual(d.find_element(By.ID, "bar-fill").get_attribute("style"), "width: 100%;")
        cells = [r.find_elements(By.TAG_NAME, "td") for r in wait.until(lambda _: len(result_rows()) == 6
                                                                         and result_rows())]
        self.assertEqual([c[1].text for c in cells], ADDRESSES)
        self.assertEqual((cells[0][2].text, cells[0][3].text, cells[1][2].text), ("verified", "000", "rejected"))
        # The address that carries markup is shown as text and ran nothing.
        self.assertEqual((d.find_elements(By.CSS_SELECTOR, "#results img"), d.title), ([], "verimex"))

        # Filtered by outcome, then a transcript on demand.
        Select(d.find_element(By.ID, "filter")).select_by_value("could_not_connect")
        self.assertEqual([r.find_elements(By.TAG_NAME, "td")[1].text for r in result_rows()],
                         ["carol@down.server.test"])
        d.find_element(By.CSS_SELECTOR, "#results tbody tr.result-row button.show-transcript").click()
        transcript = d.find_element(By.CSS_SELECTOR, "#results tr.transcript pre").text
        self.assertIn("ERROR: could not connect to mx.down.server.test", transcript)

        # The chart: one bar per outcome, as tall as its count says.
        bars = d.find_elements(By.CSS_SELECTOR, "#chart rect")
        self.assertEqual([b.get_attribute("class") for b in bars], list(COUNTS))
        self.assertEqual([int(bars[i].get_attribute("height")) for i in (0, 1, 4)], [120, 40, 0])

        # The CSV download, with the token, as a file.
        d.find_element(By.ID, "download-csv").click()
        path = os.path.join(downloads, "browser.csv")
        self.assertTrue(wait_for(lambda: os.path.exists(path), timeout=30, step=0.1))
        time.sleep(0.3)  # the file is there once whole (renamed from .crdownload), but let it settle
        with open(path, newline="", encoding="utf-8") as f:
            table = list(csv.reader(f))
        self.assertEqual(table[0][:3], ["address", "returnvar", "verified"])
        self.assertEqual([row[:3:2] for row in table[1:]],
                         [[a, v] for a, v in zip(ADDRESSES, ["true", "false", "false", "false", "true", "true"])])

        # One address checked at once, from the same page.
        d.find_element(By.ID, "check-email").send_keys("bob@no.server.test")
        d.find_element(By.ID, "check").click()
        wait.until(lambda _: d.find_element(By.ID, "check-result").is_displayed())
        self.assertIn("bob@no.server.test: 550 5.1.1", text("check-result"))

        self.assertEqual([e for e in d.get_log("browser") if e["level"] in ("SEVERE", "ERROR")
                          and "401 (Unauthorized)" not in e["message"]], [])

