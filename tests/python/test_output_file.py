"""A command's output file (quarnet.output_file): a regular file is replaced
atomically, what is not a regular file is written through or refused, never
replaced."""
import errno
import os
import stat

import pytest

from quarnet.output_file import write_whole

DATA = b"\x89PNG data" * 1000


def test_regular_files_and_links_to_them_are_replaced_whole(tmp_path):
    old = tmp_path / "old.png"
    old.write_bytes(b"old")
    os.chmod(old, 0o600)
    inode = os.stat(old).st_ino
    write_whole(str(old), DATA)
    assert old.read_bytes() == DATA and os.stat(old).st_ino != inode and stat.S_IMODE(os.stat(old).st_mode) == 0o600

    target, link, dangling = tmp_path / "sub" / "target.png", tmp_path / "latest.png", tmp_path / "dangling.png"
    target.parent.mkdir()
    target.write_bytes(b"old")
    link.symlink_to(target)
    dangling.symlink_to(tmp_path / "sub" / "new.png")
    for path in (link, dangling):
        write_whole(str(path), DATA)
        assert path.is_symlink() and path.read_bytes() == DATA
    assert target.read_bytes() == DATA and sorted(os.listdir(tmp_path / "sub")) == ["new.png", "target.png"]
    with pytest.raises(FileNotFoundError) as error:
        write_whole(str(tmp_path / "none" / "x.png"), DATA)
    assert error.value.filename == str(tmp_path / "none")


def test_a_fifo_is_written_through_when_read_and_refused_when_not(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(OSError) as error:
        write_whole(str(fifo), DATA)
    assert (error.value.errno, error.value.filename) == (errno.ENXIO, str(fifo))
    assert error.value.strerror == "a FIFO that no one reads, nothing written"
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # a reader holds it open (the pipe buffers DATA)
    try:
        write_whole(str(fifo), DATA)
        os.set_blocking(reader, True)
        got = [os.read(reader, 1 << 16)]
        while got[-1]:
            got.append(os.read(reader, 1 << 16))
    finally:
        os.close(reader)
    assert b"".join(got) == DATA and stat.S_ISFIFO(os.lstat(fifo).st_mode)


@pytest.mark.parametrize("minor, error", [(3, None), (7, errno.ENOSPC)])  # as /dev/null and /dev/full
def test_a_character_device_is_written_through_never_replaced(tmp_path, minor, error):
    device = tmp_path / "device"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, minor))
        os.close(os.open(device, os.O_WRONLY))
    except OSError as e:
        pytest.skip(f"cannot make and open a device node here: {e}")
    if error is None:
        write_whole(str(device), DATA)
    else:
        with pytest.raises(OSError) as raised:
            write_whole(str(device), DATA)
        assert (raised.value.errno, raised.value.filename) == (error, str(device))
    assert stat.S_ISCHR(os.lstat(device).st_mode) and os.listdir(tmp_path) == ["device"]


def test_a_folder_is_refused(tmp_path):
    with pytest.raises(OSError) as error:
        write_whole(str(tmp_path), DATA)
    assert (error.value.strerror, error.value.filename) == ("a folder, not a file to write", str(tmp_path))
    assert os.listdir(tmp_path) == []
