"""Sphinx configuration of the korvel.algorithm site (built by `make docs`).

The reference is generated from the installed, compiled modules, so the site
documents exactly what `import korvel.algorithm.<module>` gives. The gallery
scripts in examples/gallery run while the site is built; their figures are
made then.
"""

import importlib
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

MODULES = (
    "loopctl toolbox tfblock phaseshaper clampwind slewguard deadtime flatline latches "
    "heartbeat excite plantmodels gainsched labbias identify tuning utilities"
).split()

# Document (and run the gallery against) the compiled modules themselves. Left
# alone, autodoc would import a compiled module from the stub file shipped
# next to it, and everything imported after that, the gallery scripts
# included, would get the stub's empty bodies.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
for name in MODULES:
    importlib.import_module(f"korvel.algorithm.{name}")
korvel_modules = [f"korvel.algorithm.{name}" for name in MODULES]  # all in the reference

project = "korvel.algorithm"
author = "the korvel developers"
copyright = "the korvel developers"
release = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "korvel_autodoc",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "gallery/*.ipynb", "gallery/*.py", "gallery/*.zip"]
templates_path: list[str] = []

# Markdown pages (the architecture and benchmark pages are plain Markdown).
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The reference: every public member of every module, from the built modules.
autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "special-members": "__call__",
    "member-order": "groupwise",
}
autodoc_typehints = "none"
add_module_names = False

# Docstrings are numpydoc. Members are listed by autodoc, not by numpydoc.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_attributes_as_param_list = True
numpydoc_validation_checks: set[str] = set()

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples" / "gallery"),
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "write_computation_times": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "capture_repr": (),
    "show_memory": False,
    "show_signature": False,
    "line_numbers": False,
    "min_reported_time": 60,
}

html_theme = "pydata_sphinx_theme"
html_title = "korvel.algorithm"
html_static_path: list[str] = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_show_sourcelink = False
html_copy_source = False
