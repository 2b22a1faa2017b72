#!/usr/bin/python3
"""Python peer of the agent for the end-to-end benchmark: watchdog reports every file closed after
writing in, or moved into, one of the HOT folders; the handler copies it to DEST, posts the activity
(TEMPLATE with @ID@, @NAME@ and @DATETIME@ filled in) to URL with urllib and deletes it once the
server answered. One file at a time, in watchdog's dispatch thread.

Usage: watchdog_peer.py DEST URL TEMPLATE HOT...
Prints "ready" on stdout once every folder is watched; stops on SIGTERM."""
import os
import shutil
import signal
import sys
import threading
import time
import urllib.request
import uuid
from xml.sax.saxutils import escape

from watchdog.events import FileSystemEventHandler
from watchdog.observers.inotify import InotifyObserver


class Handler(FileSystemEventHandler):
    def __init__(self, dest, url, template):
        self.dest = dest
        self.url = url
        self.template = template

    def on_closed(self, event):
        if not event.is_directory:
            self.process(event.src_path)

    def on_moved(self, event):
        if not event.is_directory:
            self.process(event.dest_path)

    def process(self, path):
        name = os.path.basename(path)
        try:
            shutil.copyfile(path, os.path.join(self.dest, name))
            body = (self.template.replace("@ID@", str(uuid.uuid4()))
                    .replace("@NAME@", escape(name, {'"': "&quot;"}))
                    .replace("@DATETIME@", time.strftime("%Y-%m-%d %H:%M:%S")))
            request = urllib.request.Request(self.url, data=body.encode(), method="POST")
            with urllib.request.urlopen(request, timeout=30) as reply:
                reply.read()
            os.remove(path)
        except OSError as error:
            print(f"{path}: {error}", file=sys.stderr)


def main():
    dest, url, template_path, hot_folders = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with open(template_path) as f:
        template = f.read()
    # Full events: a file renamed in from outside the watched folders comes as a move, not a create.
    observer = InotifyObserver(generate_full_events=True)
    handler = Handler(dest, url, template)
    for folder in hot_folders:
        observer.schedule(handler, folder, recursive=False)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    observer.start()
    print("ready", flush=True)
    stop.wait()
    observer.stop()
    observer.join()


main()
