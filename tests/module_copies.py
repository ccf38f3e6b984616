"""Fresh copies of installed modules, imported as if some of their dependencies were missing."""

import sys


def load_fresh(module_name, hidden=()):
    """A new copy of an installed module, imported while the modules named in `hidden` cannot
    be imported (as if they were not installed). The copy is not put into sys.modules."""
    import importlib.util

    finder = importlib.util.find_spec(module_name)
    saved = {name: sys.modules.get(name, _MISSING) for name in hidden}
    try:
        for name in hidden:
            sys.modules[name] = None
        module = importlib.util.module_from_spec(finder)
        finder.loader.exec_module(module)
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = value
    return module


_MISSING = object()
