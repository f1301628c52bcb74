#include "Lumavane/Sheets/SheetRequests.hpp"

#include <QDialog>
#include <QPointer>

#include <memory>

namespace lumavane {

void presentOnRequest(ContentView& content, ContentView::Sheet which, std::function<QDialog*()> open,
                      std::function<void()> closed) {
    auto sheet = std::make_shared<QPointer<QDialog>>();
    content.presentSheet = [which, sheet, open = std::move(open), closed = std::move(closed),
                            earlier = content.presentSheet](ContentView::Sheet requested, bool shown) {
        if (requested != which) {
            if (earlier) earlier(requested, shown);
            return;
        }
        if (!shown) {
            if (*sheet) (*sheet)->close();
            return;
        }
        if (*sheet) return;
        *sheet = open();
        if (*sheet) QObject::connect(*sheet, &QDialog::finished, *sheet, [closed] { closed(); });
    };
}

} // namespace lumavane
