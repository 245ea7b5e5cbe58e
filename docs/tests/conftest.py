"""The built site, served over HTTP on the loopback address, and a headless
Chromium (Debian's, driven by its chromedriver) that fails a test on any
error in the browser's console."""

from __future__ import annotations

import functools
import http.server
import os
import shutil
import sys
import tempfile
import threading
from collections.abc import Iterator

import pytest

DOCS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(DOCS)
HTML = os.environ.get("VELMARO_DOCS_HTML", os.path.join(ROOT, "_build", "docs", "html"))
sys.path.insert(0, os.path.join(DOCS, "_ext"))

CHROMIUM = os.environ.get("VELMARO_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VELMARO_CHROMEDRIVER", "/usr/bin/chromedriver")


@pytest.fixture(scope="session")
def site() -> str:
    if not os.path.isfile(os.path.join(HTML, "index.html")):
        pytest.fail(f"no built site in {HTML}: run scripts/docs")
    return HTML


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@pytest.fixture(scope="session")
def server(site: str) -> Iterator[str]:
    handler = functools.partial(_Quiet, directory=site)
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as httpd:
        thread = threading.Thread(target=httpd.serve_forever, daemon=True)
        thread.start()
        try:
            yield f"http://127.0.0.1:{httpd.server_address[1]}/"
        finally:
            httpd.shutdown()


class Browser:
    """A page at a time; `open` fails on a console error of the page."""

    def __init__(self, driver: object, base: str) -> None:
        self.driver = driver
        self.base = base

    def open(self, page: str) -> object:
        from selenium.webdriver.support.ui import WebDriverWait

        driver = self.driver
        driver.get(self.base + page)  # type: ignore[attr-defined]
        WebDriverWait(driver, 30).until(lambda d: d.execute_script("return document.readyState") == "complete")
        self.check_console(page)
        return driver

    def check_console(self, page: str) -> None:
        errors = [entry for entry in self.driver.get_log("browser")  # type: ignore[attr-defined]
                  if entry["level"] == "SEVERE"]
        assert not errors, f"{page}: console errors {errors}"

    def images_loaded(self) -> list[str]:
        """The sources of the page's images that have not loaded."""
        return self.driver.execute_script(  # type: ignore[attr-defined, no-any-return]
            "return Array.from(document.images).filter(i => !(i.complete && i.naturalWidth > 0)).map(i => i.src)")


@pytest.fixture(scope="session")
def browser(server: str) -> Iterator[Browser]:
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.fail(f"no {CHROMIUM} or {CHROMEDRIVER}: apt-get install chromium chromium-driver")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="velmaro-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1280,1024", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The driver named, so that selenium never looks for one to download.
    driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    try:
        yield Browser(driver, server)
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
