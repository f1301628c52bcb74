#pragma once

#include "Lumavane/Views/ContentView.hpp"

#include <functional>

class QDialog;

namespace lumavane {

// Answers the main view's requests for one sheet: `open` makes it when asked (once while it is
// up), a withdrawn request closes it, and its closing runs `closed` so the view knows. Requests
// for other sheets go on to the presenter installed before.
void presentOnRequest(ContentView& content, ContentView::Sheet which, std::function<QDialog*()> open,
                      std::function<void()> closed);

} // namespace lumavane
