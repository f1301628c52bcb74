#!/usr/bin/python3
"""Checks compact model folders and a "model-series.json" as the player reads them.

  tools/models/validate.py resources/Models/model-series.json
  tools/models/validate.py resources/Models/Lumavane-Fast-4x [more folders]

A folder gets every rule of the compact engine, the "rectangular_winograd" rules
included, and "input.rgba" when present; a series document gets its own rules and each
compact variant's folder is checked in full. Also refuses non-finite weights. Prints one
line per item; exits 1 at any failure. Needs only the standard library.
"""

import json
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modelfolder import FolderError, read_folder  # noqa: E402


def check_folder(folder):
    m, arrays = read_folder(folder, rectangular=True, read_input=True)
    for i, (w, b, s) in enumerate(arrays):
        for name, vals in (("weights", w), ("bias", b), ("prelu", s or [])):
            if not all(math.isfinite(v) for v in vals):
                raise FolderError("%d.%s holds a value that is not finite" % (i, name))
    return m


class SeriesError(Exception):
    pass


def model_path(root, path):
    """The variant's model inside the document's folder, or SeriesError (invalidPath)."""
    root = os.path.realpath(root)
    pieces = [p for p in path.split("/") if p]
    if not path or path.startswith("/") or ":" in path or ".." in pieces:
        raise SeriesError("Model files must exist inside the manifest's directory.")
    cand = os.path.realpath(os.path.join(root, path))
    if not cand.startswith(root + "/") or not os.path.exists(cand):
        raise SeriesError("Model files must exist inside the manifest's directory.")
    return cand


def check_series(doc_path):
    invalid = "Invalid or unsupported model-series manifest."
    with open(doc_path, "rb") as f:
        doc = json.loads(f.read().decode("utf-8"))

    def need(cond, why):
        if not cond:
            raise SeriesError("%s (%s)" % (invalid, why))

    is_int = lambda v: isinstance(v, int) and not isinstance(v, bool)  # noqa: E731
    is_str = lambda v: isinstance(v, str)  # noqa: E731
    need(isinstance(doc, dict), "not an object")
    for key, check in (("schemaVersion", is_int), ("id", is_str), ("name", is_str), ("version", is_str),
                       ("author", lambda v: isinstance(v, dict)), ("category", is_str),
                       ("description", is_str), ("license", is_str),
                       ("variants", lambda v: isinstance(v, list))):
        need(key in doc and doc[key] is not None and check(doc[key]), "key %s" % key)
    need(is_str(doc["author"].get("name")), "author.name")
    need(doc["author"].get("url") is None or is_str(doc["author"]["url"]), "author.url")
    need(doc["schemaVersion"] == 1, "schemaVersion")
    for key in ("id", "name", "version", "license"):
        need(doc[key] != "", key)
    need(doc["author"]["name"] != "", "author.name")
    need(doc["category"] in ("anime", "live-action", "general"), "category")
    need(len(doc["variants"]) > 0, "no variants")
    ids = [v.get("id") for v in doc["variants"]]
    need(len(set(map(str, ids))) == len(ids), "variant ids")
    root = os.path.dirname(os.path.abspath(doc_path))
    roles = []
    for v in doc["variants"]:
        for key, check in (("id", is_str), ("name", is_str), ("path", is_str), ("format", is_str),
                           ("outputScales", lambda x: isinstance(x, list) and all(is_int(k) for k in x)),
                           ("supportsOptimal", lambda x: isinstance(x, bool))):
            need(key in v and v[key] is not None and check(v[key]), "variant key %s" % key)
        need(v.get("role") is None or is_str(v["role"]), "role")
        need(v["id"] != "" and v["name"] != "", "variant id/name")
        need(v.get("role") is None or v["role"] in ("fast", "quality"), "role")
        need(v["format"] in ("compact-metal", "coreml"), "format")
        sc = v["outputScales"]
        need(sc and all(k in (2, 4) for k in sc) and len(set(sc)) == len(sc), "outputScales")
        folder = model_path(root, v["path"])
        if v["format"] == "coreml":
            raise SeriesError("%s (Core ML variants are not checked here)" % invalid)
        need(os.path.isdir(folder), "compact-metal path is not a folder")
        with open(os.path.join(folder, "manifest.json"), "rb") as f:
            fm = json.loads(f.read().decode("utf-8"))
        need(isinstance(fm, dict) and fm.get("architecture") == "Compact"
             and all(k in fm for k in ("width", "height", "scale", "layers", "checkpoint_sha256")),
             "variant %s is no compact model folder" % v["id"])
        scale = fm.get("scale")
        need(is_int(scale), "folder scale")
        if scale == 2:
            need(sc == [2] and not v["supportsOptimal"], "scale-2 folder")
        else:
            need(scale == 4, "folder scale")
        check_folder(folder)
        if v.get("role") is not None:
            roles.append(v["role"])
    need(len(set(roles)) == len(roles), "roles")
    return doc


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    ok = True
    for item in sys.argv[1:]:
        try:
            if os.path.isdir(item):
                m = check_folder(item)
                print("ok  %s (%d layers, scale %d)" % (item, len(m["layers"]), m["scale"]))
            else:
                doc = check_series(item)
                print("ok  %s (%d variants)" % (item, len(doc["variants"])))
        except (FolderError, SeriesError, OSError, ValueError) as e:
            ok = False
            print("BAD %s: %s" % (item, e))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
