"""The scenarios: what a person does with the player and what they must see."""

import os
import re
import subprocess
import time

from . import picture, view
from .desktop import wait_until
from .player import Player, inside

MAIN = "main.mkv"  # played on the direct back-end, whose frames come ahead of their time
MAIN_SECONDS = 30
SECOND_SECONDS = 12  # second.mp4
LONG = 60  # a deadline for what a person would wait for on a loaded machine


def new_player(run, language="ja"):
    return Player(run.binary, run.resources, run.out / "home", run.out, run.desktop, language)


def selected(run, number):
    return not run.only_steps or number in run.only_steps


def steps(run, player, listing, quit_at_end=False):
    """Runs the numbered steps; those marked always run, the others only while the player runs.
    `quit_at_end` adds a last step: Ctrl+Q, and nothing crashed. The player is gone afterwards."""
    if quit_at_end:
        def closing():
            quit_with_ctrl_q(run, player)
            no_crash(run, player)

        listing = [*listing, ("quit with Ctrl+Q", closing, True)]
    try:
        for number, (title, action, always) in enumerate(listing, 1):
            if not (always or selected(run, number)):
                continue
            if not always and not player.running():
                run.step(f"{number}. {title}", lambda: run.require(
                    "the player is running", False, f"exit status {player.process and player.process.poll()}"))
                continue
            run.step(f"{number}. {title}", action)
    finally:
        player.kill()


# --- Shared actions.


def start_with_video(run, player, path):
    player.launch("--video", path)
    window = player.find_one(role="frame", timeout=LONG)
    run.require("the player window appears", window is not None and player.running(),
                f"exit status {player.process.poll()}")
    shot, rect = view.wait_for_picture(run, player, LONG)
    run.shot("first-picture")
    run.require("the video's picture is shown (not black)", rect is not None)
    return rect


def room_to_play(run, player, clock, room):
    """Makes sure the clip plays with at least `room` seconds before its end, so that what is
    measured next is measured while it plays: on a loaded desktop the suite may get here after the
    clip has ended (each read of the window's controls can take seconds). Too near the end, the clip
    is let end and played again from the start with space, as a person would. Whether it plays
    from there."""
    at, total = clock.read()
    if at is None or total is None:
        return False
    if total - at >= room:
        return True
    ended = wait_until(lambda: clock.read()[0] == total, total - at + LONG, 0.25)
    if not ended or not ensure_paused(run, player):
        return False
    player.press("space")
    return bool(wait_until(lambda: (clock.read()[0] or total) < total, LONG, 0.25))


def moving(run, player, clock, seconds=6.0):
    """Screenshots taken one after another while the clip plays, until `seconds` of its playing
    are covered, each with the elapsed label read just before it: [(seconds since the first,
    elapsed label, whether the picture changed since the previous one, None for the first of a
    run)] and the seconds covered. Only what is seen before the clip's end counts; a clip that ends
    before enough was seen is played again from the start (at most twice)."""
    area = view.video_area(player)
    samples, covered, previous, replays = [], 0.0, None, 0
    start = time.monotonic()
    while covered < seconds:
        at, total = clock.read()
        shot, rect = view.picture_now(run, player, area=area)
        now = time.monotonic() - start
        region = picture.crop(shot, area)
        if at is None or total is None or at >= total:
            # Ended: what it showed from here on is no playing picture.
            previous = None
            if replays == 2 or not room_to_play(run, player, clock, seconds):
                break
            replays += 1
            continue
        changed = None
        if previous is not None:
            changed = rect is not None and picture.difference(region, previous) > 0.002
            covered += now - samples[-1][0]
        samples.append((round(now, 2), at, changed))
        previous = region
        time.sleep(0.05)
    return samples, covered


def check_plays(run, player, what):
    """The picture moves like a playing video: over six seconds of playing, a new picture at least
    once a second on average (a loaded machine may stutter; the longest stall is reported). The
    screenshots themselves can come seconds apart on a loaded desktop: then each must show a new
    picture. Returns the elapsed label's first and last reading of the longest run of screenshots
    (the clip may have been played again from the start, and the run after that be a short one)."""
    clock = view.TimeLabels(player)
    run.require("the transport bar shows the elapsed time", clock.read()[0] is not None)
    playing = room_to_play(run, player, clock, 9)
    run.require("the clip plays with room before its end", playing, f"elapsed/total {clock.read()}")
    samples, covered = moving(run, player, clock)
    run.require("six seconds of its playing were seen", covered >= 6, f"{covered:.1f} s; {samples}")
    changes = sum(1 for _, _, changed in samples if changed)
    pairs = sum(1 for _, _, changed in samples if changed is not None)
    ok = changes >= min(6, pairs)
    # When it fails, each screenshot with the label read with it tells whether the clock ran on.
    run.check(what, ok, f"{changes} changes in {pairs} screenshot pairs over {covered:.1f} s of playing"
              + ("" if ok else f"; (s, elapsed label, changed): {samples}"))
    # A clip played again from the start begins a new run of screenshots (changed is None): the
    # time between the runs is no stretch of playing.
    still, since = 0.0, samples[0][0]
    for t, _, changed in samples:
        if changed or changed is None:
            since = t
        still = max(still, t - since)
    run.note("longest stretch without a new picture while playing", f"{still:.1f} s")
    starts = [i for i, (_, _, changed) in enumerate(samples) if changed is None]
    runs = [samples[a:b] for a, b in zip(starts, starts[1:] + [len(samples)])]
    longest = max(runs, key=lambda r: r[-1][0] - r[0][0])
    return longest[0][1], longest[-1][1]


def elapsed(player):
    labels = view.time_labels(player)
    return labels[0] if labels else None


def wait_elapsed(player, predicate, timeout):
    result = {}

    def ok():
        value = elapsed(player)
        result["value"] = value
        return value is not None and predicate(value)

    wait_until(ok, timeout, 0.25)
    return result.get("value")


def magenta_time(run, player, duration):
    """The clip time the picture shows, read from its magenta bar."""
    shot, rect = view.picture_now(run, player)
    if rect is None:
        return None
    fraction = picture.magenta_bar_center(picture.crop(shot, rect))
    return None if fraction is None else picture.clip_time_from_magenta(fraction, duration)


def ensure_paused(run, player):
    if paused_now(player):
        return True
    pause = player.find("一時停止", role="push button")
    if pause:
        player.press("space")
    return bool(player.find_one("再生", role="push button", timeout=10))


def paused_now(player):
    return bool(player.find("再生", role="push button"))


def ensure_playing(run, player):
    if player.find("一時停止", role="push button"):
        return True
    player.press("space")
    return bool(player.find_one("一時停止", role="push button", timeout=10))


def quit_with_ctrl_q(run, player):
    player.press("ctrl+q")
    status = player.wait_exit(LONG)
    run.check("Ctrl+Q quits the player", status is not None, f"exit status {status}")
    run.check("the player exits normally", status == 0, f"exit status {status}")
    return status


def no_crash(run, player):
    lines = player.crash_lines()
    run.check("nothing crashed or was reported by a sanitizer", not lines, "; ".join(lines[:5]))


# --- The whole session.


def session(run):
    player = new_player(run)
    media = run.media
    state = {}

    def open_and_play():
        state["rect"] = start_with_video(run, player, media / MAIN)
        first, later = check_plays(run, player, "successive screenshots differ while it plays")
        run.shot("playing")
        run.check("the elapsed time advances", later > first, f"{first} then {later}")

    def compare_and_drag():
        segment = player.find_one("view_mode.compare", role="push button")
        run.require("the display-mode control offers Compare", segment is not None)
        player.click(segment)
        boundary = wait_until(lambda: player.find("比較境界：左が元映像、右が高画質"), 10)
        run.require("the compare view shows its boundary", bool(boundary))
        area = view.video_area(player)

        def boundary_when(wanted, timeout):
            """The first screenshot whose boundary stands where `wanted` accepts it, else the last one:
            (screenshot, picture rectangle, boundary as a fraction of the width or None)."""
            seen = {}

            def found():
                seen["shot"], seen["rect"] = view.picture_now(run, player, area=area)
                seen["at"] = picture.boundary_column(picture.crop(seen["shot"], seen["rect"])) if seen["rect"] else None
                return seen["at"] is not None and wanted(seen["at"])

            wait_until(found, timeout, 0.2)
            return seen["shot"], seen["rect"], seen["at"]

        # The boundary is drawn with the next picture, which a loaded desktop may show late.
        shot, rect, before = boundary_when(lambda at: True, 15)
        run.shot("compare", shot)
        run.require("a picture is shown in compare mode", rect is not None)
        run.check("the boundary starts in the middle", before is not None and abs(before - 0.5) < 0.03, before)
        x, y, w, h = rect
        start = (x + int(w * (before or 0.5)), y + h // 2)
        run.desktop.drag(start, (x + int(w * 0.4), y + h // 2))
        dragged, _, after = boundary_when(lambda at: abs(at - 0.4) < 0.03, 10)
        run.shot("compare-dragged", dragged)
        run.check("dragging moves the boundary to where it was dropped", after is not None and abs(after - 0.4) < 0.03,
                  after)
        # Both halves show one moment: the white bar stands at one height on either side. Only the
        # samples where the enhanced half is on screen (its badge shows) can tell.
        split = after or 0.4
        samples, apart, original = [], [], 0
        clock = view.TimeLabels(player)
        run.require("the clip plays with room before its end", room_to_play(run, player, clock, 18),
                    f"elapsed/total {clock.read()}")
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and len(samples) < 8:
            at, total = clock.read()
            shot, rect = view.picture_now(run, player, area=area)
            if at is None or total is None or at >= total:
                break  # ended: no more moments of playing to compare
            if rect is None:
                continue
            region = picture.crop(shot, rect)
            if not picture.enhanced_badge(region):
                original += 1
                continue
            w = region.shape[1]
            # Clear of the badges in the top corners and of the handle.
            left = picture.white_bar_center(region[:, int(w * 0.17) : int(w * (split - 0.05))])
            right = picture.white_bar_center(region[:, int(w * (split + 0.05)) : int(w * 0.83)])
            if left is None or right is None:
                continue
            gap = abs(left - right) * 360  # in the clip's rows; the bar moves 3 rows a frame
            samples.append(round(gap, 1))
            if gap > 2.0:
                apart.append(len(samples))
                run.shot(f"compare-two-moments-{len(samples)}", shot)
            time.sleep(0.2)
        if samples:
            run.check("both halves show one moment while playing", not apart,
                      f"row gap per sample {samples} (3 rows = one frame); {original} samples showed the original whole")
        else:
            run.note("both halves one moment: not judged, the enhanced half never showed in 15 s",
                     f"{original} samples showed the original whole (enhancement too late on this machine's load)")

    def pause_holds():
        run.require("playing before the pause", ensure_playing(run, player))
        player.press("space")
        # On a loaded desktop the key and what was drawn before it can take seconds to come through.
        paused = player.find_one("再生", role="push button", timeout=LONG)
        run.check("space pauses (the button turns to Play)", paused, "" if paused else _focus_report(run, player))
        area = view.video_area(player)
        # The paused frame may still be enhanced once; after that the moment it shows must not change.
        shot, rect = view.picture_now(run, player, area=area)
        calm = view.settle_picture(run, player, rect, timeout=30, quiet=1.5) if rect else None
        run.check("the picture comes to rest once paused", calm is not None)
        moments = []
        for i in range(4):
            shot, rect = view.picture_now(run, player, area=area)
            if i in (0, 3):
                run.shot("paused" if i == 0 else "paused-later", shot)
            moments.append(_bars(shot, rect) if rect else None)
            time.sleep(1.0)
        held = moments[0] is not None and all(m == moments[0] for m in moments)
        # When it does not, what the window says tells why (a message, or the transport's state).
        why = "" if held else f"; message {_message_text(player)!r}; still paused: {paused_now(player)}"
        run.check("the picture holds while paused (the bars stay put)", held, f"{moments}{why}")
        run.check("the paused picture is not black", rect is not None and not picture.is_black(picture.crop(shot, rect)))
        a = wait_elapsed(player, lambda v: True, 15)
        time.sleep(1.5)
        b = wait_elapsed(player, lambda v: True, 15)
        run.check("the elapsed time stands still while paused", a is not None and b == a, f"{a} then {b}")

    def effects():
        run.require("paused", ensure_paused(run, player))
        segment = player.find_one("view_mode.enhanced", role="push button")
        if segment:
            player.click(segment)
        shot, rect = view.picture_now(run, player)
        plain = view.settle_picture(run, player, rect) if rect else None
        run.require("a resting picture before the effects", plain is not None)
        button = player.find_one("画質エフェクト（FX）", role="push button")
        run.require("the transport bar has the effects button", button is not None)
        player.click(button)
        # The panel is a popup, which the accessibility tree does not list: it is found on screen.
        area = view.video_area(player)
        panel = wait_until(lambda: _popup(run, area), 10, 0.3)
        opened = run.shot("effects-panel")
        run.require("the effects panel opens", panel is not None)
        try:
            found = picture.switches(opened, panel)
            run.require("the panel shows the master switch and four effect switches", len(found) >= 5,
                        f"{len(found)} switches")
            master, grain = found[0], found[4]
            run.check("the effects are on and grain is off at first", master[4] and not grain[4])
            # Only the part of the picture left of the panel is looked at.
            visible = (rect[0], rect[1], max(0, min(rect[2], panel[0] - rect[0])), rect[3])
            run.require("part of the picture stays visible beside the panel", visible[2] > 100, visible)
            moment = _moment(plain, rect, visible)

            def after_click(switch, label, grainy, then=()):
                """Flips a switch and waits for the picture a person expects (grainy or plain)."""
                run.desktop.click(switch[0] + switch[2] // 2, switch[1] + switch[3] // 2)
                state = wait_until(lambda: _switch_state(run, panel, switch) == (not switch[4]), 10)
                if then:
                    run.desktop.key(*then)
                seen = {}

                def looks_right():
                    seen["shot"] = run.desktop.grab()
                    seen["level"] = picture.grain(picture.crop(seen["shot"], visible))
                    return (seen["level"] > 5) == grainy and (grainy or seen["level"] < 1.5)

                wait_until(looks_right, 15, 0.3)
                run.shot(label, seen["shot"])
                run.check(f"the switch turns {'off' if switch[4] else 'on'}", state)
                return seen["level"], _moment(seen["shot"], rect, visible)

            level = picture.grain(picture.crop(plain, visible))
            run.check("the plain picture shows no grain", level < 1.5, f"{level:.1f} levels")
            # Grain on, and its amount to the top with the keyboard (Tab reaches its slider).
            level, m = after_click(grain, "grain-on", True, ("Tab", "End"))
            moments = [m]
            run.check("switching grain on (amount 100) makes the picture grainy", level > 5, f"{level:.1f} levels")
            level, m = after_click(master, "effects-off", False)
            moments.append(m)
            run.check("switching all effects off takes the grain away", level < 1.5, f"{level:.1f} levels")
            level, m = after_click((*master[:4], False), "effects-on-again", True)
            moments.append(m)
            run.check("switching them on again brings the grain back", level > 5, f"{level:.1f} levels")
            level, m = after_click((*grain[:4], True), "grain-off", False)
            moments.append(m)
            run.check("switching grain off leaves a plain picture", level < 1.5, f"{level:.1f} levels")
            if moment is None:
                run.note("the paused moment could not be read: the magenta bar is under the panel")
            else:
                run.check("the paused picture keeps its moment while effects change",
                          all(x is not None and abs(x - moment) < 0.05 for x in moments),
                          f"clip time shown {moment} before, then {moments}")
        finally:
            player.press("Escape")
            closed = wait_until(lambda: _popup(run, area) is None, 10, 0.3)
            run.check("Escape closes the effects panel", closed)

    def seek_with_keys():
        run.require("paused", ensure_paused(run, player))
        before = elapsed(player)
        if before is not None and before > MAIN_SECONDS - 12:  # room for 10 s on
            player.press("Left")
            before = wait_elapsed(player, lambda v: v <= before - 9, 15)
        player.press("Right")
        after = wait_elapsed(player, lambda v: before is not None and v >= before + 9, 15)
        run.shot("seek-right")
        run.check("Right arrow moves the time label 10 s on", after is not None and before is not None and
                  abs(after - (before + 10)) <= 1, f"{before} -> {after}")
        shown = wait_until(lambda: _shows_time(run, player, after), 15)
        run.check("the picture shows the new moment", shown, f"magenta bar at {magenta_time(run, player, MAIN_SECONDS)} s")
        player.press("Left")
        back = wait_elapsed(player, lambda v: after is not None and v <= after - 9, 15)
        run.shot("seek-left")
        run.check("Left arrow moves it 10 s back", back is not None and after is not None and
                  abs(back - (after - 10)) <= 1, f"{after} -> {back}")

    def seek_on_bar():
        run.require("paused", ensure_paused(run, player))
        bar = view.seek_bar(player)
        run.require("the seek bar is on screen", bar is not None)
        x, y, w, h = bar.rect
        target = 0.75
        player.focus()
        run.desktop.click(x + int(w * target), y + h // 2)
        expected = MAIN_SECONDS * target
        value = wait_elapsed(player, lambda v: abs(v - expected) <= 2, 15)
        run.desktop.move(x + w // 2, y - 200)  # away from the bar, so the preview closes
        run.shot("seek-bar")
        run.check("a click at 3/4 of the bar moves the time label there", value is not None and abs(value - expected) <= 2,
                  f"{value} s, expected about {expected:.1f} s")
        shown = wait_until(lambda: _shows_time(run, player, expected, 1.5), 15)
        run.check("the picture shows that moment", shown, f"magenta bar at {magenta_time(run, player, MAIN_SECONDS)} s")

    def language():
        player.press("ctrl+comma")
        menu = player.find_one("言語", role="combo box", timeout=20)
        run.shot("settings")
        if menu is None:
            menu = _language_menu(player)
        run.require("the settings panel shows the language menu", menu is not None)
        _choose(run, player, menu, "English")
        player.lang = "en"
        english = wait_until(lambda: player.find("ファイル", role="menu item") or player.find("設定", role="push button"),
                             20)
        run.shot("settings-english")
        run.check("the interface turns English", bool(english) and bool(player.find("再生位置")),
                  "menu 'File' and seek bar 'Playback Position' found")
        menu = player.find_one("言語", role="combo box") or _language_menu(player)
        run.require("the language menu is still there", menu is not None)
        _choose(run, player, menu, "日本語")
        player.lang = "ja"
        japanese = wait_until(lambda: player.find("ファイル", role="menu item"), 20)
        run.shot("settings-japanese")
        run.check("the interface turns Japanese again", bool(japanese) and bool(player.find("再生位置")))
        close = player.find_one("設定を閉じる", timeout=5)
        if close:
            player.click(close)
        else:
            player.press("Escape")
        run.check("the settings panel closes", wait_until(lambda: not _language_menu(player), 10))

    def benchmark():
        row = player.find_one("モデル詳細・ベンチマーク", role="push button")
        run.require("the sidebar offers model details and benchmark", row is not None)
        player.click(row)
        sheet = wait_until(lambda: [n for n in player.tree() if n.role == "dialog"], 20)
        run.shot("benchmark-sheet")
        run.require("the benchmark sheet opens", bool(sheet))
        close = [n for n in player.find("閉じる", role="push button")]
        if close:
            player.click(close[0])
        else:
            player.press("Escape")
        gone = wait_until(lambda: not [n for n in player.tree() if n.role == "dialog"], 15)
        run.shot("benchmark-closed")
        run.check("the benchmark sheet closes", gone)
        run.check("the player window is usable again", bool(player.find_one("再生位置", timeout=5)))

    def second_launch():
        second = player.launch("--video", media / "second.mp4")
        try:
            status = second.wait(LONG)
        except subprocess.TimeoutExpired:
            status = None
            second.kill()
        run.check("the second launch hands over and exits", status == 0, f"exit status {status}")
        title = wait_until(lambda: view.title(player) == "second.mp4", 20)
        run.shot("second-launch")
        run.check("the running player opens the second video", title, f"the title reads {view.title(player)!r}")
        apps = wait_until(lambda: len(run.desktop.windows_of(player.process.pid)) >= 1, 5)
        run.check("one player keeps running", apps and player.running())
        state["second"] = bool(title)

    def full_screen():
        run.require("playing", ensure_playing(run, player))
        _check_title_over_video(run, player, "before full screen")
        for key in ("左ペインを切り替え", "プレイリストを表示"):
            _check_pane_toggle(run, player, key, "before full screen")
        player.press("F11")
        full = wait_until(lambda: _window_covers_screen(run, player), 15)
        time.sleep(1.0)
        shot = run.shot("full-screen")
        run.check("F11 fills the screen with the window", full)
        menus = [n for n in player.find(role="menu bar") if n.rect[3] > 0]
        run.check("no menu bar in full screen", not menus, menus)
        area = (0, 0, run.desktop.width, run.desktop.height)
        rect = picture.picture_rect(shot, area)
        run.check("the picture fills the screen's width or height", rect is not None and
                  (rect[2] >= run.desktop.width * 0.95 or rect[3] >= run.desktop.height * 0.95), rect)
        player.press("F11")
        windowed = wait_until(lambda: not _window_covers_screen(run, player) and player.find("左ペインを切り替え"), 15)
        run.shot("windowed-again")
        run.check("F11 again returns to the window", windowed)
        _check_title_over_video(run, player, "after full screen")
        for key in ("左ペインを切り替え", "プレイリストを表示"):
            _check_pane_toggle(run, player, key, "after full screen")

    def quit_player():
        run.require("the player is running", player.running())
        # Paused first, so that the position the history must keep is known.
        if ensure_paused(run, player):
            state["position"] = elapsed(player)
        if run.window_manager == "openbox":
            window = player.focus()
            # Alt+F4 is openbox's close: the window manager asks the window to close.
            run.desktop.key("alt+F4")
            status = player.wait_exit(LONG)
            run.check("closing the window through the window manager quits", status is not None,
                      f"window {window}, exit status {status}")
            run.check("the player exits normally", status == 0, f"exit status {status}")
        else:
            quit_with_ctrl_q(run, player)
        if player.running():
            player.kill()

    def saved():
        run.require("the player ran", player.process is not None)
        history = player.history() or []
        urls = [entry.get("url", "") for entry in history]
        run.check("the history lists the played video", any(u.endswith("/" + MAIN) for u in urls), urls)
        if state.get("second"):
            run.check("the history lists the second video first", urls and urls[0].endswith("/second.mp4"), urls)
        main = [e for e in history if e.get("url", "").endswith("/" + MAIN)]
        if not state.get("second"):
            at = state.get("position")
            kept = main[0].get("position") if main else None
            run.check("the history keeps the position where the player was quit",
                      at is not None and kept is not None and at - 0.5 <= kept <= at + 1.5,
                      f"label read {at} s, history keeps {kept} s")
        frame = player.defaults().get("NSWindow Frame Lumavane.playerWindow")
        run.check("the window frame was saved", isinstance(frame, str) and len(frame.split()) >= 4, frame)
        no_crash(run, player)

    steps(run, player, [
        ("open a clip with --video and see it play", open_and_play, True),
        ("compare mode: drag the boundary; both halves show one moment", compare_and_drag, False),
        ("pause with space: the picture holds", pause_holds, False),
        ("effects on and off", effects, False),
        ("seek with the arrow keys", seek_with_keys, False),
        ("seek on the seek bar", seek_on_bar, False),
        ("settings: the interface language to English and back", language, False),
        ("the benchmark sheet opens and closes", benchmark, False),
        ("a second launch with --video", second_launch, False),
        ("F11 full screen and back; the pane toggles work afterwards", full_screen, False),
        ("quit", quit_player, True),
        ("history and window frame saved, nothing crashed", saved, True),
    ])


# --- Helpers of the session's steps.


def _shows_time(run, player, seconds, tolerance=1.0):
    """Whether the picture shows the moment that a time label reads: the label truncates to the
    second, so the picture may be up to a second later."""
    t = magenta_time(run, player, MAIN_SECONDS)
    return t is not None and seconds - tolerance / 2 <= t <= seconds + 1 + tolerance / 2


def _popup(run, area):
    """The rectangle of a panel open over the video area, or None."""
    return picture.panel_rect(run.desktop.grab(), area)


def _bars(shot, rect):
    """Where the white and the magenta bar stand in the picture, to a few pixels."""
    region = picture.crop(shot, rect)
    h, w = region.shape[:2]
    white = picture.white_bar_center(region[:, int(w * 0.17) : int(w * 0.83)])
    magenta = picture.magenta_bar_center(region)
    return (None if white is None else round(white * h / 3), None if magenta is None else round(magenta * w / 3))


def _moment(shot, rect, visible=None):
    """The clip time the picture shows (from its magenta bar), rounded to a frame; None when the
    bar is not in the visible part of the picture."""
    visible = visible or rect
    fraction = picture.magenta_bar_center(picture.crop(shot, visible))
    if fraction is None:
        return None
    fraction = (visible[0] - rect[0] + fraction * visible[2]) / rect[2]
    return round(picture.clip_time_from_magenta(fraction, MAIN_SECONDS) * 30) / 30


def _switch_state(run, panel, switch):
    for x, y, w, h, on in picture.switches(run.desktop.grab(), panel):
        if abs(y - switch[1]) < 6 and abs(x - switch[0]) < 6:
            return on
    return None


def _language_menu(player):
    menus = player.find(role="combo box")
    return menus[0] if menus else None


def _choose(run, player, menu, item_name):
    player.click(menu)
    item = player.find_one(name=item_name, role="list item", timeout=10) or \
        player.find_one(name=item_name, role="menu item", timeout=2)
    run.require(f"the language menu lists {item_name}", item is not None)
    player.click(item)


def _window_covers_screen(run, player):
    window = player.main_window()
    return window is not None and window.rect[2] >= run.desktop.width and window.rect[3] >= run.desktop.height


def _check_title_over_video(run, player, when):
    nodes = player.tree()
    area = view.video_area(player, nodes)
    title = [n for n in player.find("ファイル名", role="label", nodes=nodes)]
    run.check(f"the file name stands over the video pane ({when})",
              area is not None and title and area[0] <= title[0].rect[0] < area[0] + area[2],
              f"title {title[0].rect if title else None}, video pane {area}")


def _check_pane_toggle(run, player, key, when):
    """Clicks a toolbar pane toggle, then the toggle again: the panes change and come back."""
    names = ("左ペインを切り替え",) if key == "左ペインを切り替え" else ("プレイリストを表示", "プレイリストを閉じる")
    side = "left" if key == "左ペインを切り替え" else "right"

    def toggle():
        """The toggle where a person can click it: inside the window."""
        nodes = player.tree()
        window = player.main_window(nodes)
        for name in names:
            found = [n for n in player.find(name, role="push button", nodes=nodes)
                     if window is not None and inside(n.rect, window.rect)]
            if found:
                return found[0]
        return None

    button = wait_until(toggle, 5)
    if not run.check(f"the toolbar's {side} pane toggle is on screen ({when})", button is not None):
        return
    area = view.video_area(player)
    window = player.main_window()
    width_before = window.rect[2] if window is not None else None
    player.click(button)
    moved = wait_until(lambda: (view.video_area(player) or area) != area, 15)
    run.shot(f"toggle-{side}")
    run.check(f"the {side} pane toggle changes the panes ({when})", moved,
              f"video area {area} -> {view.video_area(player)}")
    if not moved:
        return
    button = wait_until(toggle, 5)
    if not run.check(f"the {side} pane toggle stays on screen to undo it ({when})", button is not None):
        return
    player.click(button)

    def restored():
        # The same panes as before. A window that had to grow to hold the opened pane beside the
        # video's least width may stay that much wider: the video takes the difference.
        now, window = view.video_area(player), player.main_window()
        if now is None or area is None or window is None or width_before is None:
            return now == area
        grown = window.rect[2] - width_before
        return now[0] == area[0] and now[1] == area[1] and now[3] == area[3] and now[2] - area[2] == grown >= 0

    back = wait_until(restored, 15)
    run.check(f"a second click restores the panes ({when})", back, f"video area {area} -> {view.video_area(player)}")


# --- Rotated phone clips against ffmpeg's own upright picture.


def rotation(run):
    clips = ["rotated-90.mp4", "rotated-180.mp4", "rotated-270.mp4", "rotated-90-direct.mov"]
    for number, clip in enumerate(clips, 1):
        player = new_player(run)

        def check_clip():
            reference = _ffmpeg_upright(run, clip)
            expected = picture.quadrants(reference)
            rect = start_with_video(run, player, run.media / clip)
            ensure_paused(run, player)
            shot = view.settle_picture(run, player, rect) if rect else None
            shot = run.desktop.grab() if shot is None else shot
            run.shot(clip.replace(".", "-"), shot)
            _, rect = view.picture_now(run, player)
            run.require("the picture is shown", rect is not None)
            portrait = reference.shape[0] > reference.shape[1]
            run.check("the picture stands the way ffmpeg shows it (portrait or landscape)",
                      (rect[3] > rect[2]) == portrait, f"shown {rect[2]}x{rect[3]}, ffmpeg {reference.shape[1]}x"
                      f"{reference.shape[0]}")
            shown = picture.quadrants(picture.crop(shot, rect))
            run.check(f"its corners match ffmpeg's upright picture ({clip})", shown == expected,
                      f"shown {shown}, ffmpeg {expected} (top left, top right, bottom left, bottom right)")
            quit_with_ctrl_q(run, player)
            no_crash(run, player)

        run.step(f"{number}. {clip}", check_clip)
        player.kill()


def _ffmpeg_upright(run, clip):
    """ffmpeg's own first frame of the clip, turned as its display matrix says (ffmpeg turns by
    default); saved beside the screenshots."""
    import numpy as np
    from PIL import Image

    out = run.out / f"ffmpeg-{clip.replace('.', '-')}.png"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(run.media / clip), "-frames:v", "1",
                    str(out)], check=True, timeout=60)
    return np.asarray(Image.open(out).convert("RGB"))


# --- Files a person may open by mistake, and one the platform back-end refuses.


def hostile(run):
    player = new_player(run)
    media = run.media

    def refused():
        start_with_video(run, player, media / "refused.mov")
        check_plays(run, player, "a file GStreamer refuses plays (on the direct back-end)")
        run.shot("refused-playing")

    def broken(name, label):
        def action():
            _open_with_dialog(run, player, media / name)
            text = _wait_message(run, player)
            run.shot(label)
            _check_message(run, player, text, name)
            _dismiss_message(run, player)
            run.check("the message goes away", wait_until(lambda: _message_text(player) is None, 10))
            run.check("the player is still there", player.running())
        return action

    def usable_again():
        _open_with_dialog(run, player, media / "second.mp4")
        _, rect = view.wait_for_picture(run, player, LONG)
        run.require("after the messages a good file opens", rect is not None)
        check_plays(run, player, "and plays")
        run.shot("usable-again")

    def quit_while_message():
        _open_with_dialog(run, player, media / "empty.mp4")
        text = _wait_message(run, player)
        run.shot("empty-again")
        run.require("the message is shown", text is not None)
        player.press("ctrl+q")
        status = player.wait_exit(LONG)
        run.check("Ctrl+Q quits normally while the message is shown", status == 0, f"exit status {status}")

    def closing():
        player.kill()
        no_crash(run, player)

    steps(run, player, [
        ("a file the platform back-end refuses", refused, True),
        ("a damaged (cut) MP4", broken("damaged.mp4", "damaged"), False),
        ("a text file named .mp4", broken("not media.mp4", "not-media"), False),
        ("a zero-byte file", broken("empty.mp4", "empty"), False),
        ("a huge picture cut off after its header", broken("huge cut.mkv", "huge-cut"), False),
        ("the player stays usable", usable_again, False),
        ("Ctrl+Q while a message is shown", quit_while_message, False),
        ("nothing crashed", closing, True),
    ])


def pipes(run):
    """A named pipe nobody writes to, given as the video at launch, on each back-end's road: the
    window comes up, a message names it, and Ctrl+Q quits."""
    for name in ("pipe.mkv", "pipe.mp4"):
        player = new_player(run)
        pipe = run.out / name
        if not pipe.exists():
            os.mkfifo(pipe)

        def launched(player=player, pipe=pipe, name=name):
            player.launch("--video", pipe)
            window = player.find_one(role="frame", timeout=LONG)
            run.require("the player window appears", window is not None and player.running(),
                        f"exit status {player.process.poll()}")
            text = _wait_message(run, player)
            run.shot(name.replace(".", "-"))
            _check_message(run, player, text, name)

        steps(run, player, [(f"{name} given at launch", launched, True)], quit_at_end=True)


def cold_start(run):
    """A first start with an empty kernel cache: the compiler says nothing on the terminal, and
    Ctrl+Q ends the player while the model's kernels are still compiling (they take seconds)."""
    player = new_player(run)
    player.env["POCL_CACHE_DIR"] = str(run.out / "empty-kernel-cache")
    os.makedirs(player.env["POCL_CACHE_DIR"], exist_ok=True)

    def launched():
        player.launch("--video", run.media / "main.mp4")
        window = player.find_one(role="frame", timeout=LONG)
        run.require("the player window appears", window is not None and player.running(),
                    f"exit status {player.process.poll()}")
        time.sleep(2)  # a person quits soon after the window comes: the model is still compiling
        run.shot("cold-start")
        # The last thread out frees the process's memory: one at the lowest priority took seconds
        # to get the processor on a busy machine, and the process lived on after Ctrl+Q.
        lowest = _lowest_priority_threads(player.process.pid)
        run.check("no thread of the player runs at the lowest priority", not lowest, ", ".join(lowest))

    def quit_while_compiling():
        player.press("ctrl+q")
        asked = time.monotonic()
        # Before this was mended the process lived on for 6-10 s compiling; the bound is generous.
        status = player.wait_exit(LONG)
        took = time.monotonic() - asked
        run.check("Ctrl+Q quits the player", status == 0, f"exit status {status}")
        run.check("the process ends without waiting for kernel compiles", took < 5, f"{took:.1f} s after Ctrl+Q")
        log = player.process.log.read_text(errors="replace")
        noise = [line for line in log.splitlines() if re.search(r"\d+ warnings? generated|: warning:", line)]
        run.check("the kernel compiler wrote nothing to the terminal", not noise, "; ".join(noise[:3]))
        no_crash(run, player)

    steps(run, player, [("first start with an empty kernel cache", launched, True),
                        ("Ctrl+Q while kernels compile", quit_while_compiling, False)])


def _lowest_priority_threads(pid):
    """The names of the process's threads whose nice value is 19."""
    names = []
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                line = stat.read()
        except OSError:
            continue  # ended meanwhile
        # The name is in parentheses and may hold spaces; the fields after it count from the state.
        name, fields = line[line.index("(") + 1:line.rindex(")")], line[line.rindex(")") + 2:].split()
        if int(fields[16]) == 19:
            names.append(name)
    return names


def _open_with_dialog(run, player, path):
    """Ctrl+O, the path typed into the file dialog's name field, Return."""
    player.press("ctrl+o")
    dialog = wait_until(lambda: [n for n in player.tree() if n.depth == 1 and n.role in ("dialog", "file chooser")], 20)
    run.require("Ctrl+O shows the file dialog", bool(dialog))
    run.desktop.key("ctrl+a")
    run.desktop.type_text(str(path))
    run.desktop.key("Return")
    run.require("the file dialog closes", wait_until(
        lambda: not [n for n in player.tree() if n.depth == 1 and n.role in ("dialog", "file chooser")], 20))


def _focus_report(run, player):
    """Where the keyboard was: the X focus, the player's windows and which accessible objects say
    they are active or focused."""
    nodes = player.tree(showing_only=False)
    active = [repr(n) for n in nodes if n.depth == 1 and _has_state(n, "ACTIVE")]
    focused = [repr(n) for n in nodes if _has_state(n, "FOCUSED")]
    return (f"X focus {run.desktop.focused_window()}, player windows {run.desktop.windows_of(player.process.pid)}, "
            f"active {active}, focused {focused}")


def _has_state(node, name):
    from gi.repository import Atspi
    try:
        return node.accessible.get_state_set().contains(getattr(Atspi.StateType, name))
    except Exception:
        return False


def _message_text(player):
    """The text of the alert on screen, or None."""
    for window in (n for n in player.tree() if n.depth == 1 and n.role in ("alert", "dialog")):
        texts = [n.name for n in _descendants(window) if n.role == "label" and n.name]
        if texts:
            return "\n".join(texts)
    return None


def _descendants(node):
    for child in node.children:
        yield child
        yield from _descendants(child)


def _wait_message(run, player):
    return wait_until(lambda: _message_text(player), 30, 0.3)


def _check_message(run, player, text, name):
    run.require("a message is shown", text is not None)
    run.check("the message names the file", name in text, text)
    japanese = any("\u3040" <= c <= "\u30ff" or "\u4e00" <= c <= "\u9fff" for c in text)
    run.check("the message is in the interface language (Japanese)", japanese, text)
    raw = [marker for marker in ("Invalid data", "open media:", "filesystem error", "No such file") if marker in text]
    run.check("the message is not a library's raw error text", not raw, text)


def _dismiss_message(run, player):
    ok = player.find_one("OK", role="push button", timeout=5)
    if ok:
        player.click(ok)
    else:
        player.press("Return")


# --- A folder dropped from the file manager.


def folder(run):
    from . import dnd

    player = new_player(run)

    def drop_folder():
        start_with_video(run, player, run.media / "second.mp4")
        area = view.video_area(player)
        x, y = area[0] + area[2] // 2, area[1] + area[3] // 2
        # The title's label is found once and then only read: a walk of the whole window took tens
        # of seconds on a loaded desktop, and came back when the folder's third clip was playing.
        title = view.title_label(player)
        run.require("the toolbar shows the file name", title is not None)
        taken = dnd.drop_files([run.media / "folder"], x, y)
        run.check("the player takes the dropped folder", taken)
        playing = wait_until(lambda: title.description() == "clip 1.mp4", 30)
        run.shot("folder-dropped")
        run.check("it plays the folder's first clip in file-browser order (clip 1)", playing,
                  f"the title reads {title.description()!r}")
        toggle = player.find_one("プレイリストを表示", role="push button", timeout=5)
        if toggle:
            player.click(toggle)
        rows = wait_until(lambda: _playlist_titles(player), 15)
        run.shot("playlist")
        run.check("the playlist lists the three clips in file-browser order", rows == ["clip 1", "clip 2", "clip 10"],
                  rows)

    steps(run, player, [("drop a folder of three clips", drop_folder, True)], quit_at_end=True)


def _playlist_titles(player):
    """The playlist rows' titles top to bottom (the first label of each row button)."""
    rows = []
    for node in player.tree():
        if node.role == "push button" and node.children:
            labels = [c for c in node.children if c.role == "label"]
            if len(labels) >= 2 and "·" in labels[1].name:
                rows.append((node.rect[1], labels[0].name))
    return [title for _, title in sorted(rows)]


# --- A small screen.


def small_screen(run):
    player = new_player(run)

    def whole_window():
        start_with_video(run, player, run.media / MAIN)
        time.sleep(1.0)
        nodes = player.tree()
        window = player.main_window(nodes)
        screen = (0, 0, run.desktop.width, run.desktop.height)
        run.shot("small-screen")
        run.check("the window lies on the screen", window is not None and inside(window.rect, screen),
                  f"window {window.rect if window else None}, screen {screen}")
        row = view.transport_row(player, nodes)
        run.require("the transport bar is found", row is not None)
        outside = [n for n in row.children if n.rect and not inside(n.rect, screen)]
        run.check("every transport control is on screen", not outside, outside)
        bar = view.seek_bar(player, nodes)
        run.check("the seek bar is wide enough to use", bar is not None and bar.rect[2] >= 150,
                  bar.rect if bar else None)

    steps(run, player, [("the whole window on a 1280x720 screen", whole_window, True)], quit_at_end=True)


SCENARIOS = {
    "session": session,
    "rotation": rotation,
    "hostile": hostile,
    "pipes": pipes,
    "cold-start": cold_start,
    "folder": folder,
    "small-screen": small_screen,
}
