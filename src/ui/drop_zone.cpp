#include "ui/drop_zone.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "intake/drop_intake.h"
#include "intake/item_provider.h"
#include "ui/style.h"

namespace kelvatta::ui {
namespace {

constexpr const char* kUriListType = "text/uri-list";

// The drop's items: one per entry of its URI list (none when it carries no list).
std::vector<std::shared_ptr<ItemProvider>> itemProviders(const QDropEvent* event)
{
    const QMimeData* mime = event->mimeData();
    if (!mime || !mime->hasFormat(QString::fromLatin1(kUriListType))) return {};
    const QByteArray uriList = mime->data(QString::fromLatin1(kUriListType));
    return itemProvidersFromUriList(std::string_view(uriList.constData(), static_cast<size_t>(uriList.size())));
}

bool anyLocalFile(const std::vector<std::shared_ptr<ItemProvider>>& providers)
{
    return std::any_of(providers.begin(), providers.end(), [](const auto& provider) {
        return provider->hasItemConformingToTypeIdentifier(kFileURLTypeIdentifier);
    });
}

void takeWith(QDropEvent* event, std::optional<Qt::DropAction> action)
{
    if (!action) {
        event->ignore();
        return;
    }
    event->setDropAction(*action);
    event->accept();
}

}  // namespace

DropZone::DropZone(ContentView view, QWidget* parent) : QWidget(parent), view_(std::move(view))
{
    setFixedSize(kDropZoneWidth, kDropZoneHeight);
    setAcceptDrops(true);
}

std::optional<Qt::DropAction> DropZone::dropActionFor(Qt::DropActions offered)
{
    if (offered & Qt::CopyAction) return Qt::CopyAction;
    if (offered & Qt::LinkAction) return Qt::LinkAction;
    return std::nullopt;
}

void DropZone::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF outline = QRectF(rect());
    QPainterPath shape;
    shape.addRoundedRect(outline, kDropZoneCornerRadius, kDropZoneCornerRadius);
    QColor fill = grayColor();
    fill.setAlphaF(static_cast<float>(kDropZoneFillOpacity));
    painter.fillPath(shape, fill);

    // The border lies inside the outline: its centre line is the outline inset by half its width.
    const qreal inset = kDropZoneBorderWidth / 2;
    QPen pen(blueColor(), kDropZoneBorderWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(outline.adjusted(inset, inset, -inset, -inset), kDropZoneCornerRadius - inset,
                            kDropZoneCornerRadius - inset);
}

// The action a drag would be taken with: none while the window takes no input, or when the drag
// carries no local file, so that the pointer shows at once that it would be refused.
std::optional<Qt::DropAction> DropZone::takeableAction(const QDropEvent* event) const
{
    if (!view_.takesInput() || !anyLocalFile(itemProviders(event))) return std::nullopt;
    return dropActionFor(event->possibleActions());
}

// Dragging over the zone changes nothing of its look.
void DropZone::dragEnterEvent(QDragEnterEvent* event) { takeWith(event, takeableAction(event)); }

void DropZone::dragMoveEvent(QDragMoveEvent* event) { takeWith(event, takeableAction(event)); }

void DropZone::dropEvent(QDropEvent* event)
{
    auto action = dropActionFor(event->possibleActions());
    if (action && !performDrop(view_, itemProviders(event))) action.reset();
    takeWith(event, action);
}

}  // namespace kelvatta::ui
