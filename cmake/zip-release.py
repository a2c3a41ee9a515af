"""Writes a zip whose bytes depend on nothing but its files' bytes: the given order, one
date for every entry (SOURCE_DATE_EPOCH, in UTC), fixed permissions and no extra fields.
Usage: zip-release.py ZIP FOLDER FILE... (the files' names inside the zip, found in FOLDER)."""
import os
import sys
import time
import zipfile

zip_path, folder, names = sys.argv[1], sys.argv[2], sys.argv[3:]
date = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
with zipfile.ZipFile(zip_path, "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, date_time=date)
        entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(folder, name), "rb") as source:
            archive.writestr(entry, source.read(), compresslevel=9)
