"""The demo: Orvane against five local RFC 868 servers (openbsd-inetd's built-in time service)
at the table's addresses, inside the lab. On the user's display if there is one, else on Xvfb."""
import os
import sys
import time

import lab

SHOT = os.path.join(lab.BUILD, "demo", "orvane.png")


def main():
    lab.require_lab()
    work = lab.workdir()
    servers = lab.Servers(work)
    servers.inetd(*lab.TABLE)
    on_screen = (bool(os.environ.get("DISPLAY")) and os.path.exists("/tmp/.X11-unix")
                 and not os.environ.get("DEMO_HEADLESS"))
    display = lab.Display(use_existing=on_screen or lab.WINDOWS)
    log = lab.UiLog(work)
    try:
        print(f"time servers: {', '.join(lab.TABLE)} (local, port 37)")
        process = lab.orvane(display, log, *sys.argv[1:])
        window = display.find_window("網路校時 (By zevo)")
        log.wait_for(lambda l: l.captions().get("cmd確定.enabled") is True, 10)
        time.sleep(1.2)
        os.makedirs(os.path.dirname(SHOT), exist_ok=True)
        if window:
            display.screenshot(SHOT, window)
        print("\nthe window ended with:")
        for name, text in log.captions().items():
            print(f"  {name:12} {text}")
        for title, text in log.message_boxes():
            print(f"  message box «{title}»: {text}")
        if process.poll() is None and window:
            if on_screen:
                print("\nclick 完成 to close the window")
                process.wait()
            else:
                display.click(window, 212, 180)
                process.wait(5)
        print(f"\nscreenshot: {SHOT}")
        print("(this machine's clock was not changed: the lab refuses it)")
    finally:
        servers.close()
        display.close()
        lab.remove(work)


if __name__ == "__main__":
    main()
