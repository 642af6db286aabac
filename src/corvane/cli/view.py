"""The viewer page and its inbox: view (a layout or a message in the page,
a screenshot of it) and inbox (list or clean the viewer inbox)."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Any

from corvane.cli.common import (
    CommandError,
    UsageError,
    _check_layout_file,
    _count,
    _days,
    _Progress,
    _size,
    _table,
    add_conversion_options,
    add_exclude_option,
    add_show_option,
    add_stack_option,
    add_z_scale_option,
)
from corvane.cli.convert import _convert, _layout_name, _set_inbox
from corvane.cli.live import check_options, port_number, serve

# corvane view keeps this many messages of one layout in the inbox (--keep).
KEEP_MESSAGES = 5


def _window_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size WIDTHxHEIGHT: {text!r}") from None
    if not (16 <= width <= 8192 and 16 <= height <= 8192):
        raise argparse.ArgumentTypeError(f"size out of range (16 to 8192 pixels): {text!r}")
    return width, height


def _is_message_file(path: Path) -> bool:
    """A viewer message is JSON text; anything else is taken for a layout."""
    try:
        with path.open("rb") as f:
            head = f.read(64).lstrip()
    except OSError:
        return False
    return head.startswith(b"{") or head.startswith(b"[") or path.suffix.lower() == ".json"


def _age(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f} s ago"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min ago"
    if seconds < 2 * 86400:
        return f"{seconds / 3600:.0f} h ago"
    return f"{seconds / 86400:.0f} days ago"


def _newest_message(inbox: Path) -> Path:
    from corvane.core import communication

    if not inbox.is_dir():
        raise CommandError(f"{inbox}: no such inbox folder (convert a layout with: corvane view FILE.gds)")
    messages = communication.inbox_messages(inbox)
    if messages:
        message = messages[-1]
        about = [f"the newest of {len(messages)} in the inbox" if len(messages) > 1 else "the only one in the inbox"]
    else:
        # Files named otherwise (copied in by hand) count when nothing else is there.
        from corvane import viewer

        found = viewer.newest_message(inbox)
        if found is None:
            raise CommandError(f"no viewer message in {inbox} (convert a layout with: corvane view FILE.gds)")
        message, about = found, ["the newest file in the inbox"]
    stat = message.stat()
    layout = communication.message_layout(message)
    if layout:
        about.append(f"layout {layout}")
    about.append(f"written {_age(time.time() - stat.st_mtime)}")
    print(f"message: {message.resolve()} ({_size(stat.st_size)}; {', '.join(about)})")
    return message


def _cmd_view(args: argparse.Namespace) -> int:
    prog = "corvane view"
    shot = None
    if args.screenshot:
        # Checked before anything is converted or rendered.
        shot = Path(args.screenshot).expanduser().resolve()
        if shot.suffix.lower() != ".png":
            raise CommandError(f"{args.screenshot}: the screenshot must be a .png file")
        if not shot.parent.is_dir():
            raise CommandError(f"{shot.parent}: no such folder for the screenshot")
    source = Path(args.file) if args.file is not None else None
    layout = source is not None and source.is_file() and not _is_message_file(source)
    if source is not None:
        _check_layout_file(source)  # the same checks for a message file
    check_options(args, layout)
    if args.serve:
        return serve(prog, source, args)
    if not layout:
        given = [name for name, value in (("--stack", args.stack), ("--show", args.show), ("--exclude", args.exclude))
                 if value]
        if args.z_scale != 1:
            given.append("--z-scale")
        if given:
            raise UsageError(
                f"{', '.join(given)} {'applies' if len(given) == 1 else 'apply'} when converting a layout "
                "(corvane view FILE.gds ...); "
                "a message's layers and heights were fixed when it was made"
            )

    from corvane import viewer

    if layout:
        if args.inbox:
            _set_inbox(args.inbox)
        message = _convert(prog, source, args)
        if message is None:
            raise CommandError("the viewer page needs the message in a file; the transport delivered it elsewhere")
        from corvane.viewer import texts

        texts.write_page_data(source, message)  # the layout's texts, beside the message
        _keep_newest(prog, message, source, args.keep)
    elif source is not None:
        if args.inbox is not None:
            raise UsageError("give a message file or --inbox, not both")
        message = source
    else:
        from corvane.core import communication

        inbox = Path(args.inbox).expanduser() if args.inbox else communication.get_inbox()
        message = _newest_message(inbox)
    try:
        page = viewer.write_page(message)
    except viewer.MessageError as exc:
        raise CommandError(str(exc)) from None
    print(f"page: {page.resolve()}")
    # Viewer options travel in the page address.
    fragment = "view=top" if args.top else ""
    if shot is not None:
        from corvane.viewer import headless

        with _Progress(prog, f"rendering {page.name} in headless Chromium"):
            try:
                shot = headless.screenshot(page, shot, size=args.size, fragment=fragment)
            except headless.ChromiumError as exc:
                raise CommandError(str(exc)) from None
        print(f"screenshot: {shot}")
    if args.open:
        import webbrowser

        from corvane.viewer import headless

        if not webbrowser.open(headless.page_url(page, fragment)):
            raise CommandError(f"no web browser to open {page}")
    return 0


def _keep_newest(prog: str, message: Path, source: Path, keep: int) -> None:
    """Remove the older messages of ``source``'s layout beyond the newest ``keep``
    (0: keep all), with their pages, and say so."""
    from corvane.core import communication

    if keep <= 0:
        return
    removed = communication.prune_inbox(_layout_name(source), keep, message.parent)
    if removed:
        print(f"{prog}: removed {_count(len(removed), 'older message')} of {source.name} from {message.parent} "
              f"(keeping the newest {keep}; --keep N changes it, 0 keeps all)", file=sys.stderr)


def _keep(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _inbox_folder(args: argparse.Namespace) -> Path:
    from corvane.core import communication

    return Path(args.inbox).expanduser() if args.inbox else communication.get_inbox()


def _with_page(message: Path) -> int:
    """Bytes of a message and of what goes with it: its viewer page and the page's data (texts)."""
    from corvane.core import communication

    beside = (communication.message_page(message), message.with_suffix(".page"))
    return message.stat().st_size + sum(p.stat().st_size for p in beside if p.is_file())


def _cmd_inbox(args: argparse.Namespace) -> int:
    from corvane.core import communication

    inbox = _inbox_folder(args)
    if inbox.exists() and not inbox.is_dir():
        raise CommandError(f"{inbox}: the inbox is not a folder")
    if not inbox.exists():
        if args.inbox:
            raise CommandError(f"{inbox}: no such inbox folder")
        print(f"{inbox}: no messages yet (the folder does not exist)", file=sys.stderr)
        return 0
    if args.action == "list":
        messages = communication.inbox_messages(inbox)
        now = time.time()
        rows = [["written", "size", "page", "layout", "message"]]
        total = 0
        for message in messages:
            stat = message.stat()
            size = _with_page(message)
            total += size
            written = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stat.st_mtime))
            page = "yes" if communication.message_page(message).is_file() else "no"
            rows.append([written, f"{size:,}", page, communication.message_layout(message) or "-", str(message)])
        if messages:
            for line in _table(rows, right={1}):
                print(line)
        oldest = f", the oldest written {_age(now - messages[0].stat().st_mtime)}" if messages else ""
        print(f"{inbox}: {_count(len(messages), 'message')}, {_size(total)} with their pages{oldest}", file=sys.stderr)
        return 0
    older = None if args.older_than is None else args.older_than * 86400.0
    sizes = {m: _with_page(m) for m in communication.inbox_messages(inbox)}
    removed = communication.clean_inbox(inbox, older_than=older)
    freed = sum(sizes.get(m, 0) for m in removed)
    kept = len(sizes) - len(removed)
    print(f"removed {_count(len(removed), 'message')} ({_size(freed)} with their pages) from {inbox}; {kept} kept")
    return 0


def _add_view(commands: Any) -> None:
    p = commands.add_parser(
        "view",
        prog="corvane view",
        help="show a layout (or a viewer message) in the viewer page; screenshot it",
        description="Given a layout, convert it as corvane lumino does and write the viewer page beside "
        "the message; given a message file, write its page; given nothing, take the newest message of "
        "the viewer inbox and say which. Prints the page's path.",
    )
    p.add_argument("file", nargs="?", metavar="FILE.gds|MESSAGE.json", help="a layout or a message file")
    add_stack_option(p)
    add_show_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.add_argument(
        "--inbox",
        nargs="?",
        const="",
        metavar="DIR",
        help="the viewer inbox to deliver to, or to take the newest message from (default inbox without DIR)",
    )
    p.add_argument("--open", action="store_true", help="open the page in the web browser")
    p.add_argument("--screenshot", metavar="OUT.png", help="save what the page shows, rendered by headless Chromium")
    p.add_argument("--size", type=_window_size, default=(1280, 800), metavar="WxH", help="screenshot size (default 1280x800)")
    p.add_argument("--top", action="store_true", help="view from above instead of the oblique view")
    p.add_argument(
        "--keep",
        type=_keep,
        default=KEEP_MESSAGES,
        metavar="N",
        help=f"after converting a layout, keep only the newest N messages of that layout in the inbox "
        f"(default {KEEP_MESSAGES}; 0 keeps all)",
    )
    p.add_argument(
        "--serve",
        action="store_true",
        help="serve the layout on 127.0.0.1 until Ctrl-C: the page follows each save of the file, "
        "a click on a shape traces its net",
    )
    p.add_argument("--port", type=port_number, metavar="N", help="with --serve: the port to listen on (default: a free one)")
    p.set_defaults(run=_cmd_view, needs_layout=False)


def _add_inbox(commands: Any) -> None:
    p = commands.add_parser(
        "inbox",
        prog="corvane inbox",
        help="list or clean the viewer inbox",
        description="List the messages of the viewer inbox (oldest first; sizes count their pages), or remove "
        "them with their pages.",
    )
    p.add_argument("action", choices=("list", "clean"), help="list the messages, or remove them")
    p.add_argument(
        "--older-than", type=_days, metavar="DAYS", help="clean: only messages older than DAYS days (default: all)"
    )
    p.add_argument("--inbox", metavar="DIR", help="this inbox folder instead of the default")
    p.set_defaults(run=_cmd_inbox, needs_layout=False)
