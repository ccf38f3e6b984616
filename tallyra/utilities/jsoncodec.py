"""JSON serialisation with the fast orjson library, and the standard library as fallback.
orjson serialises NumPy int, float, bool and ndarray values natively.
The fallback covers the same NumPy types with a custom encoder."""

try:
    import orjson

    _NUMPY_OPT = orjson.OPT_SERIALIZE_NUMPY

    def dumps(obj, default=None, indent=None, sort_keys=False):
        opts = _NUMPY_OPT
        if indent:
            opts |= orjson.OPT_INDENT_2
        if sort_keys:
            opts |= orjson.OPT_SORT_KEYS
        if default is not None:
            return orjson.dumps(obj, default=default, option=opts).decode("utf-8")
        return orjson.dumps(obj, option=opts).decode("utf-8")

    # Set explicitly: Python 3.13 strips the indentation of docstrings at compile time.
    dumps.__doc__ = ("Serialize to JSON string. Uses orjson for speed.\n\n"
                     "        Handles numpy scalars, arrays, datetime, and date objects natively.\n"
                     "        Returns a Python str (not bytes).\n"
                     "        ")

    def loads(s):
        """Deserialize from JSON string. Uses orjson for speed."""
        return orjson.loads(s)

    BACKEND = "orjson"

except ImportError:
    import json
    from datetime import date, datetime

    class _NumpyEncoder(json.JSONEncoder):
        """JSON encoder that handles numpy types for the stdlib fallback."""

        def default(self, o):
            # NumPy is imported here, so that dates and the caller's default still work
            # where it is not installed.
            try:
                import numpy
            except ImportError:
                numpy = None
            if numpy is not None:
                if isinstance(o, numpy.integer):
                    return int(o)
                if isinstance(o, numpy.floating):
                    return float(o)
                if isinstance(o, numpy.bool_):
                    return bool(o)
                if isinstance(o, numpy.ndarray):
                    return o.tolist()
            if isinstance(o, date) or isinstance(o, datetime):
                return o.isoformat()
            return super().default(o)

    def dumps(obj, default=None, indent=None, sort_keys=False):
        """Serialize to JSON string. Stdlib fallback with numpy support."""
        if default is None:
            return json.dumps(obj, cls=_NumpyEncoder, indent=indent, sort_keys=sort_keys)

        class _Combined(_NumpyEncoder):
            def default(self, o):
                try:
                    return super().default(o)
                except TypeError:
                    return default(o)

        return json.dumps(obj, cls=_Combined, indent=indent, sort_keys=sort_keys)

    def loads(s):
        """Deserialize from JSON string. Stdlib fallback."""
        return json.loads(s)

    BACKEND = "json"
