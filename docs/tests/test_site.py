"""The built site in a real browser: the pages are there with their
pictures, the reference names everything the code makes public, the search
finds a method, and no page logs an error; and no link inside the site
leads nowhere."""

from __future__ import annotations

import argparse
import glob
import html.parser
import os
import urllib.parse

import pytest

import velmaro
import velmaro_tools
import velmaro_tools.export
from velmaro_tools.cli import parser

from conftest import DOCS

GALLERY = sorted(os.path.basename(p)[:-3] for p in glob.glob(os.path.join(DOCS, "gallery", "plot_*.py")))


def ids_on(browser, page):
    driver = browser.open(page)
    return set(driver.execute_script("return Array.from(document.querySelectorAll('[id]')).map(e => e.id)"))


def public(cls):
    return {name for name in dir(cls) if not name.startswith("_")}


@pytest.mark.parametrize("page, names", [
    ("reference/velmaro.html",
     {f"velmaro.RawFileReader.{m}" for m in public(velmaro.RawFileReader)} | {"velmaro.RawFileReader"}),
    ("reference/velmaro_tools.html",
     {f"velmaro_tools.{n}" for n in velmaro_tools.__all__}
     | {f"velmaro_tools.export.{n}" for n in velmaro_tools.export.__all__}
     | {f"velmaro_tools.Run.{m}" for m in public(velmaro_tools.Run)}
     | {f"velmaro_tools.Spectrum.{f}" for f in velmaro_tools.Spectrum.__dataclass_fields__}),
], ids=["velmaro", "velmaro_tools"])
def test_the_reference_names_every_public_name(browser, page, names):
    assert not names - ids_on(browser, page)


def test_the_module_reference_gives_the_stub_types_and_the_module_docstrings(browser):
    driver = browser.open("reference/velmaro.html")
    entry = driver.find_element("id", "velmaro.RawFileReader.get_peaks").find_element("xpath", "..")
    text = " ".join(entry.text.split())
    assert "get_peaks(scan_num: int) → tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]" in text
    for name in public(velmaro.RawFileReader):
        doc = " ".join(getattr(velmaro.RawFileReader, name).__doc__.split())
        assert doc in " ".join(driver.find_element("tag name", "main").text.split()), name


def test_the_command_page_has_every_subcommand_and_option(browser):
    driver = browser.open("reference/cli.html")
    text = driver.find_element("tag name", "main").text
    top = parser()
    commands = next(a for a in top._actions if a.dest == "command").choices
    assert set(commands) == {"info", "scans", "export", "batch"}
    for name, sub in commands.items():
        assert f"velmaro {name}" in text
        for action in sub._actions:
            if isinstance(action, argparse._HelpAction):
                continue
            for option in action.option_strings:
                assert option in text, (name, option)


def test_the_index_shows_its_picture_and_leads_to_every_part(browser):
    driver = browser.open("index.html")
    assert "velmaro" in driver.title
    assert not browser.images_loaded()
    assert len(driver.find_elements("css selector", "main img")) >= 1
    links = {a.get_attribute("href").split("#")[0] for a in driver.find_elements("css selector", "main a")}
    for page in ["getting-started.html", "guide/index.html", "auto_gallery/index.html", "reference/index.html",
                 "performance.html", "development.html"]:
        assert browser.base + page in links, page


@pytest.mark.parametrize("example", GALLERY)
def test_each_gallery_page_shows_its_figure_and_code(browser, example):
    driver = browser.open(f"auto_gallery/{example}.html")
    figures = driver.find_elements("css selector", "img.sphx-glr-single-img, img.sphx-glr-multi-img")
    assert figures and not browser.images_loaded()
    code = " ".join(e.text for e in driver.find_elements("css selector", "div.highlight-Python pre"))
    assert "from velmaro_tools import" in code


def test_the_gallery_index_shows_every_example(browser):
    # A spectrum, the run's retention-time and injection-time map, an MS1/MS2 overview at least.
    assert {"plot_peaks", "plot_run_map", "plot_ms_overview"} <= set(GALLERY)
    driver = browser.open("auto_gallery/index.html")
    thumbnails = driver.find_elements("css selector", ".sphx-glr-thumbcontainer")
    assert len(thumbnails) == len(GALLERY)
    assert not browser.images_loaded()


def test_the_performance_page_shows_its_three_charts(browser):
    driver = browser.open("performance.html")
    charts = [os.path.basename(i.get_attribute("src")) for i in driver.find_elements("css selector", "main img")]
    assert {"floor.png", "read.png", "export.png"} <= set(charts)
    assert not browser.images_loaded()
    assert len(driver.find_elements("css selector", "main table")) >= 5


def test_the_search_finds_get_peaks(browser):
    from selenium.webdriver.support.ui import WebDriverWait

    driver = browser.open("search.html?q=get_peaks")
    WebDriverWait(driver, 30).until(
        lambda d: d.find_elements("css selector", "#search-results ul.search li")
        and "Searching" not in d.find_element("css selector", "#search-results").text)
    hrefs = [a.get_attribute("href") for a in driver.find_elements("css selector", "#search-results li a")]
    assert browser.base + "reference/velmaro.html#velmaro.RawFileReader.get_peaks" in hrefs
    browser.check_console("search.html")


# ---- links, without a browser ----------------------------------------------------


class _Page(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        if values.get("id"):
            self.ids.add(values["id"])  # type: ignore[arg-type]
        target = values.get("href") if tag == "a" else values.get("src") if tag == "img" else None
        if target:
            self.links.append(target)


def test_no_link_inside_the_site_leads_nowhere(site):
    pages = {}
    for path in glob.glob(os.path.join(site, "**", "*.html"), recursive=True):
        page = _Page()
        with open(path, encoding="utf-8") as f:
            page.feed(f.read())
        pages[os.path.normpath(path)] = page
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urllib.parse.urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:")):
                continue
            target = os.path.normpath(os.path.join(os.path.dirname(path), urllib.parse.unquote(parts.path))) \
                if parts.path else path
            if not os.path.exists(target):
                broken.append(f"{os.path.relpath(path, site)}: {link}")
            elif parts.fragment and target in pages and parts.fragment not in pages[target].ids:
                broken.append(f"{os.path.relpath(path, site)}: {link} (no such anchor)")
    assert not broken
