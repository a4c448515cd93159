/* Binds every character of the arguments (UTF-8) to a key code that has no symbol yet, before
 * the program starts. xdotool then finds Chinese characters in the key map and types them like
 * any other key: otherwise it remaps a spare key for each character, and a character can get
 * lost when the program reads the key map after the next remapping. */
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "C.UTF-8");
    Display *display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "bindkeys: no X display\n");
        return 1;
    }
    int first = 0, last = 0, per = 0;
    XDisplayKeycodes(display, &first, &last);
    KeySym *map = XGetKeyboardMapping(display, (KeyCode)first, last - first + 1, &per);
    int next = last;
    for (int a = 1; a < argc; ++a) {
        wchar_t text[4096];
        const size_t count = mbstowcs(text, argv[a], 4096);
        if (count == (size_t)-1)
            return 2;
        for (size_t i = 0; i < count; ++i) {
            const KeySym sym = text[i] < 0x100 ? (KeySym)text[i] : (KeySym)(0x01000000 | text[i]);
            int bound = 0;
            for (int k = 0; k < (last - first + 1) * per && !bound; ++k)
                bound = map[k] == sym;
            if (bound)
                continue;
            /* The highest key code without a symbol, or with vendor keys only (XF86 media and
             * launch keys), which nothing here presses. */
            while (next >= first) {
                int empty = 1;
                for (int s = 0; s < per; ++s) {
                    const KeySym k = map[(next - first) * per + s];
                    empty = empty && (k == NoSymbol || (k >= 0x1008FF00 && k <= 0x1008FFFF));
                }
                if (empty)
                    break;
                --next;
            }
            if (next < first) {
                fprintf(stderr, "bindkeys: no free key code left\n");
                return 3;
            }
            KeySym syms[8] = {0};
            syms[0] = syms[1] = sym;
            XChangeKeyboardMapping(display, next, per < 8 ? per : 8, syms, 1);
            map[(next - first) * per] = sym;
            XSync(display, False);
            --next;
        }
    }
    XFree(map);
    XCloseDisplay(display);
    return 0;
}
