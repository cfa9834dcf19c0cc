"""Prints where a pure-Python module goes under PREFIX, relative to it.

Asks the interpreter that runs it: Debian's keeps system packages (prefix
/usr) in lib/python3/dist-packages and local ones (/usr/local) in
lib/python3.X/dist-packages; other interpreters and prefixes use the
standard scheme.
"""

import os
import sys
import sysconfig

prefix = os.path.normpath(sys.argv[1])
schemes = sysconfig.get_scheme_names()
if prefix == "/usr" and "deb_system" in schemes:
    path = sysconfig.get_path("purelib", "deb_system", vars={"base": prefix, "platbase": prefix})
elif prefix == "/usr/local" and "posix_local" in schemes:
    path = sysconfig.get_path("purelib", "posix_local", vars={"base": "/usr", "platbase": "/usr"})
else:
    path = sysconfig.get_path("purelib", "posix_prefix", vars={"base": prefix, "platbase": prefix})
print(os.path.relpath(path, prefix))
