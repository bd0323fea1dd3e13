"""The machine-wide application-data folder is not found (it names a folder that does not
exist): the error line with the platform's code (2 for a missing folder, 3 when the folder
above it is missing too) and nothing more, not even the final line break; exit 0."""

import pkicache


def play(t):
    pkicache.set_appdata(t, r"C:\NoSuchFolder")
    pkicache.clean(t, "console.txt")
    pkicache.set_appdata(t, r"C:\No\Such\Folder")
    pkicache.clean(t, "console-no-parent.txt")
