// The list font's charset, from its CHARSET_REGISTRY and CHARSET_ENCODING
// properties: header words are decoded only when they are in it.
#include "app/boxwarden.h"
#include "decode/decode.h"

#include <X11/StringDefs.h>

#include <cstdio>

namespace {

// The name of the atom that is the font's value of property, or null.
const char *fontProperty(Display *display, XFontStruct *font, const char *property, const char *what)
{
	Atom atom = XInternAtom(display, property, False);
	unsigned long value = 0;
	if (font && XGetFontProperty(font, atom, &value))
		return XGetAtomName(display, static_cast<Atom>(value));
	std::fprintf(stderr, "%s: Couldn't get %s for message font\n", invocationName, what);
	return nullptr;
}

} // namespace

void readFontCharset()
{
	XFontStruct *font = nullptr;
	XtVaGetValues(messages, XtNfont, &font, nullptr);
	Display *display = XtDisplay(messages);
	const char *registry = fontProperty(display, font, "CHARSET_REGISTRY", "registry");
	const char *encoding = fontProperty(display, font, "CHARSET_ENCODING", "encoding");
	setFontCharset(registry, encoding);
}
