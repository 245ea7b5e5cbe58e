"""Sphinx configuration of the velmaro documentation (built by scripts/docs)."""

import doctest
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The site's own extensions, and the builders of the generated files that the
# gallery and the samples of the pages read.
sys.path[:0] = [os.path.join(HERE, "_ext"), os.path.join(ROOT, "synthetic")]

project = "velmaro"
author = "The velmaro developers"
copyright = "the velmaro developers"
try:
    from importlib.metadata import version as _version

    release = _version("velmaro")
except Exception:  # built without the package installed: the API pages fail anyway
    release = "unknown"
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "sphinx_gallery.gen_gallery",
    "sphinxarg.ext",
    "stubdoc",
    "benchcharts",
]
# The network is not needed for a build: no inventories are fetched.
intersphinx_mapping: dict = {}

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated", "_data", "gallery", "snippets", "tests", "Thumbs.db", ".DS_Store"]
templates_path: list = []

# Backquoted names in the docstrings are code; those of documented objects link.
default_role = "py:obj"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}

# Every sample of the pages runs under `sphinx-build -b doctest`, in a folder
# that holds generated acquisitions: the names the samples use.
doctest_global_setup = """
import os as _os
import tempfile as _tempfile
from docsamples import workspace as _workspace
_here = _workspace()
"""
doctest_test_doctest_blocks = ""
# Sphinx's defaults, and tables whose columns pandas pads with spaces.
doctest_default_flags = (doctest.ELLIPSIS | doctest.IGNORE_EXCEPTION_DETAIL | doctest.DONT_ACCEPT_TRUE_FOR_1
                         | doctest.NORMALIZE_WHITESPACE)

sphinx_gallery_conf = {
    "examples_dirs": ["gallery"],
    "gallery_dirs": ["auto_gallery"],
    "filename_pattern": r"/plot_",
    # A failing example fails the build, as a failing test would.
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "write_computation_times": False,
    "backreferences_dir": None,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "within_subsection_order": "FileNameSortKey",
    # Every build runs every example, so that a changed API fails the build.
    "run_stale_examples": True,
}

html_theme = "pydata_sphinx_theme"
html_title = f"velmaro {release}"
html_static_path: list = []
html_logo = "_static/velmaro.svg"
# A page that names its icon keeps the browser from asking for /favicon.ico.
html_favicon = "_static/velmaro.svg"
# The theme's script reads the colour mode from the page; without one it logs an error.
html_context = {"default_mode": "auto"}
html_theme_options = {
    "navbar_end": ["navbar-icon-links"],
    "secondary_sidebar_items": ["page-toc"],
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_show_sourcelink = False
html_last_updated_fmt = None
smartquotes = False  # the pages quote the system's own texts, exactly
