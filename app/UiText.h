#pragma once

#include <string_view>

#include <wx/string.h>

#include "TextTable.h"

// The numbered texts as wxString, for widgets.
inline wxString uiText(int number) { return wxString::FromUTF8(velapp::text(number)); }

// Text `number` with `placeholder` ("(F)", "(N)", ...) replaced by `value`.
inline wxString uiText(int number, std::string_view placeholder, const wxString& value)
{
    return wxString::FromUTF8(velapp::fillPlaceholder(velapp::text(number), placeholder, value.utf8_string()));
}
