"""Run with PYTHONPATH at an installed tree's Python folder: verifies the
address given and prints returnvar, after making sure the module loaded the
library of that same tree."""

import os
import sys

import verimex

prefix = os.path.realpath(sys.argv[1])
if not os.path.realpath(verimex.library_path).startswith(prefix + os.sep):
    sys.exit("python_host: loaded %s, not the library under %s" % (verimex.library_path, prefix))
v = verimex.quoverimex()
v.email = sys.argv[2]
v.from_ = "python-host.test"
v.timeout = 5
v.check()
print(v.returnvar)
