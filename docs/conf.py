"""Sphinx configuration of the vornak documentation: `make docs` builds it into build/docs/html
with warnings as errors. The API pages are generated from the docstrings of the installed
package (`vornak.qiskit`) and of the core module `_vornak`."""

import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent

project = "vornak"
author = "the vornak developers"
copyright = "the vornak developers"  # noqa: A001 (Sphinx's name)
release = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "qiskit_sphinx_theme",
]

html_theme = "qiskit-ecosystem"
html_title = f"{project} {release}"
html_static_path: list[str] = []

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Headings of the Markdown pages get anchors, so that pages can link to their sections.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Google-style docstrings (Args:, Returns:, Raises:), as in Qiskit.
napoleon_google_docstring = True
napoleon_numpy_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_description_target = "documented"
autodoc_default_options = {"show-inheritance": True}



def _pass_signature(app, what, name, obj, options, signature, return_annotation):
    """The signature of a transpiler pass's ``__init__``: Qiskit's pass metaclass defines
    ``__call__(*args, **kwargs)``, which autodoc would show in its place."""
    import inspect

    if what != "class" or signature not in ("(*args, **kwargs)", None):
        return None
    try:
        from qiskit.transpiler.basepasses import BasePass
    except ImportError:
        return None
    if not (isinstance(obj, type) and issubclass(obj, BasePass)):
        return None
    init = inspect.signature(obj.__init__)
    # Without self, and without annotations: the types are listed with the arguments.
    parameters = [parameter.replace(annotation=inspect.Parameter.empty)
                  for parameter in list(init.parameters.values())[1:]]
    return str(init.replace(parameters=parameters, return_annotation=inspect.Signature.empty)), None


def setup(app):
    app.connect("autodoc-process-signature", _pass_signature)
