// The international list: senders and subjects are clean UTF-8 text, drawn
// in a UTF-8 locale through a font set.
#include "app/boxwarden.h"

#include <X11/StringDefs.h>
#include <X11/Xaw/Label.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>

namespace {

// The look of the default list font, the 13-pixel misc-fixed face; for
// the scripts it lacks, the 14-pixel misc-fixed kanji (a native bitmap
// reads better than one scaled down to 13), any installed font of 13
// pixels, and any font at all after that: so no charset is ever missing.
constexpr const char *kDefaultFontSet =
	"-misc-fixed-medium-r-semicondensed--13-*-*-*-*-*-iso10646-1,-misc-fixed-medium-r-normal--14-*-*-*-*-*-jisx0208.1983-0,"
	"-*-*-medium-r-normal--13-*-*-*-*-*-*-*,*";

bool codesetIsUtf8()
{
	return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

// The fontSet resource the user gave the label, or null.
String userFontSet(Widget parent)
{
	String fontSet = nullptr;
	XtResource resource = {xtString(XtNfontSet), xtString(XtCFontSet), xtString(XtRString), sizeof(String), 0,
	                       xtString(XtRImmediate), nullptr};
	XtGetSubresources(parent, &fontSet, "messages", "Label", &resource, 1, nullptr, 0);
	return fontSet;
}

} // namespace

// The character-type locale comes from the environment, or is C.UTF-8 when
// that one's codeset is another; nothing else of the locale changes.
bool chooseUtf8Locale()
{
	if (!std::setlocale(LC_CTYPE, "") || !codesetIsUtf8())
		std::setlocale(LC_CTYPE, "C.UTF-8");
	if (codesetIsUtf8() && XSupportsLocale())
		return true;
	std::fprintf(stderr, "%s: no UTF-8 locale; the list keeps its font's charset\n", invocationName);
	std::setlocale(LC_CTYPE, "C");
	return false;
}

Widget createInternationalLabel(Widget parent)
{
	if (userFontSet(parent))
		return XtVaCreateManagedWidget("messages", labelWidgetClass, parent, XtNinternational, True, XtNjustify,
		                               XtJustifyLeft, XtNlabel, "", nullptr);
	return XtVaCreateManagedWidget("messages", labelWidgetClass, parent, XtNinternational, True, XtNjustify,
	                               XtJustifyLeft, XtNlabel, "", XtVaTypedArg, XtNfontSet, XtRString, kDefaultFontSet,
	                               static_cast<int>(std::strlen(kDefaultFontSet)) + 1, nullptr);
}
