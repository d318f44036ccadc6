"""A rendered Info.plist is one macOS reads: valid, and naming the bundle,
its binary, its version and its region the way the system expects."""
import plistlib
import sys

path, version, executable = sys.argv[1:4]
with open(path, "rb") as f:
    info = plistlib.load(f)
expected = {
    "CFBundleDevelopmentRegion": "en",
    "CFBundleName": "Talvane",
    "CFBundleExecutable": executable,
    "CFBundleIdentifier": "app.talvane.background.plugin",
    "CFBundlePackageType": "BNDL",
    "CFBundleShortVersionString": version,
    "CFBundleVersion": version,
}
wrong = {k: info.get(k) for k, v in expected.items() if info.get(k) != v}
if wrong:
    sys.exit(f"{path}: expected {expected}, found {wrong}")
print(f"{path}: valid, {len(info)} keys")
