#include "ui/Icons.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <array>
#include <map>

#include "jobs/JobDisplay.h"

static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace zk40::ui {

namespace {

QPixmap Render(const QString& path, int size) {
    QSvgRenderer svg(path);
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    svg.render(&p);
    return pm;
}

QIcon LoadIcon(const QString& path) {
    static bool init = (InitIconResources(), true);
    (void)init;
    QIcon icon;
    for (int size : {16, 24, 32, 48}) icon.addPixmap(Render(path, size));
    return icon;
}

}  // namespace

const QIcon& TreeIcon(int index) {
    static const std::array<QIcon, kTreeImageCount> icons = [] {
        std::array<QIcon, kTreeImageCount> a;
        for (int i = 0; i < kTreeImageCount; ++i)
            a[i] = LoadIcon(QString(":/zk40/icons/tree%1.svg").arg(i, 2, 10, QChar('0')));
        return a;
    }();
    static const QIcon none;
    return index >= 0 && index < kTreeImageCount ? icons[index] : none;
}

QIcon ToolIcon(const QString& name) {
    static std::map<QString, QIcon> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    QString path = ":/zk40/icons/tool-" + name + ".svg";
    LoadIcon(":/zk40/icons/app.svg");  // makes sure the resources are registered
    QIcon icon = QFile::exists(path) ? LoadIcon(path) : QIcon();
    cache.emplace(name, icon);
    return icon;
}

QIcon AppIcon() { return QIcon::fromTheme("zarkell40", LoadIcon(":/zk40/icons/app.svg")); }

QPixmap AnimationFrame(int n, int size) {
    static const QPixmap base = [] {
        static bool init = (InitIconResources(), true);
        (void)init;
        return Render(":/zk40/icons/tool-busy.svg", 64);
    }();
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate(size / 2.0, size / 2.0);
    p.rotate(360.0 * (n % kAnimationFrames) / kAnimationFrames);
    p.translate(-size / 2.0, -size / 2.0);
    p.drawPixmap(QRect(0, 0, size, size), base);
    return pm;
}

}  // namespace zk40::ui
