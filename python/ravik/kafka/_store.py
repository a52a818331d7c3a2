"""Where a group member keeps each partition's state between owners."""

from __future__ import annotations

import os
import re

from _ravik import NativeStream


class DirectoryStore:
    """Checkpoint files in one directory, ``<topic>-<partition>@<offset>.ckpt``,
    the offset being the next message the state does not hold yet. A
    directory that every member reaches (shared storage) lets a partition
    move between machines with its state."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        os.makedirs(directory, exist_ok=True)

    def _path(self, topic: str, partition: int, offset: int) -> str:
        return os.path.join(self.directory, f"{topic}-{partition}@{offset}.ckpt")

    def _checkpoints(self, topic: str, partition: int) -> list[tuple[int, str]]:
        """The partition's checkpoint files as (offset, path), newest first."""
        pattern = re.compile(re.escape(f"{topic}-{partition}@") + r"(\d+)\.ckpt")
        found = []
        for name in os.listdir(self.directory):
            if m := pattern.fullmatch(name):
                found.append((int(m.group(1)), os.path.join(self.directory, name)))
        return sorted(found, reverse=True)

    def restore(self, stream: NativeStream, topic: str, partition: int) -> int | None:
        """Loads the partition's newest state into ``stream``; the offset it
        covers, or None when there is none."""
        for offset, path in self._checkpoints(topic, partition):
            stream.load_checkpoint(path)
            return offset
        return None

    def save(self, stream: NativeStream, topic: str, partition: int, offset: int) -> None:
        """Saves ``stream``'s state as covering the messages before ``offset``,
        then removes the partition's older states."""
        stream.save_checkpoint(self._path(topic, partition, offset))
        for older, path in self._checkpoints(topic, partition):
            if older < offset:
                os.unlink(path)
