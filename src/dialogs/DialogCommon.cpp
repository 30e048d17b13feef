#include "dialogs/DialogCommon.h"

#include <QDate>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QUrl>

#include "store/AppPaths.h"

namespace zk40::dialogs {

void SetControlIds(std::initializer_list<ControlId> table) {
    for (const ControlId& c : table)
        if (c.widget) c.widget->setObjectName(QString::number(c.id));
}

QWidget* Control(const QWidget* root, int id) {
    return root ? root->findChild<QWidget*>(QString::number(id)) : nullptr;
}

long LeadingInt(const QString& text) {
    QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    long v = 0;
    for (; i < t.size() && t[i].isDigit() && t[i].unicode() < 128; ++i) {
        v = v * 10 + (t[i].unicode() - '0');
        // A long string of digits saturates instead of wrapping round.
        if (v > 0x7fffffffL) v = 0x7fffffffL;
    }
    return negative ? -v : v;
}

bool LocaleUses12Hour() {
    return QLocale().timeFormat(QLocale::ShortFormat).contains('a', Qt::CaseInsensitive);
}

namespace {
QString AmPm(int hour) { return hour < 12 ? QLocale().amText() : QLocale().pmText(); }
int Hour12(int hour) { return hour % 12 == 0 ? 12 : hour % 12; }
}  // namespace

QString HourText(int hour) {
    if (LocaleUses12Hour()) return QStringLiteral("%1 %2").arg(Hour12(hour)).arg(AmPm(hour));
    return QStringLiteral("%1:00").arg(hour, 2, 10, QChar('0'));
}

QString StopHourText(int hour) {
    if (LocaleUses12Hour()) return QStringLiteral("%1:59 %2").arg(Hour12(hour)).arg(AmPm(hour));
    return QStringLiteral("%1:59").arg(hour, 2, 10, QChar('0'));
}

QString ClockText(int hour, int minute) {
    QString mm = QStringLiteral("%1").arg(minute, 2, 10, QChar('0'));
    if (LocaleUses12Hour()) return QStringLiteral("%1:%2 %3").arg(Hour12(hour)).arg(mm, AmPm(hour));
    return QStringLiteral("%1:%2").arg(hour, 2, 10, QChar('0')).arg(mm);
}

void FillHours(QComboBox* box, int selectedHour, bool stopHours) {
    box->clear();
    for (int h = 0; h < 24; ++h) box->addItem(stopHours ? StopHourText(h) : HourText(h), h);
    box->setCurrentIndex(selectedHour >= 0 && selectedHour < 24 ? selectedHour : -1);
}

int SelectedHour(const QComboBox* box) {
    int i = box->currentIndex();
    if (i < 0) return 0;
    QVariant v = box->itemData(i);
    return v.isValid() ? v.toInt() : ReadHourText(box->itemText(i));
}

int ReadHourText(const QString& text) {
    int h = static_cast<int>(LeadingInt(text) % 12);
    if (text.size() >= 2 && text[text.size() - 2] == 'P') h += 12;
    return h;
}

void FillMinutes(QComboBox* box, int selectedMinute, bool sorted) {
    box->clear();
    QStringList items{"00", "15", "30", "45"};
    QString own = QStringLiteral("%1").arg(selectedMinute, 2, 10, QChar('0'));
    if (selectedMinute % 15 != 0) {
        items.append(own);
        if (sorted) items.sort();
    }
    box->addItems(items);
    box->setCurrentIndex(static_cast<int>(items.indexOf(own)));
}

QString MonthName(int month) { return QLocale().standaloneMonthName(month, QLocale::LongFormat); }

QString WeekdayName(int weekday) {
    return QLocale().standaloneDayName(weekday, QLocale::LongFormat);
}

QString LongDate(int year, int month, int day) {
    return QLocale().toString(QDate(year, month, day), QLocale::LongFormat);
}

QString AnchorNote(const ScheduleAnchor& a) {
    QStringList said;
    if (a.takenYear)
        said << QStringLiteral("No year was chosen, so %1 was taken.").arg(a.takenYear);
    if (a.missingDay) {
        const CivilTime stored = ToCivil(a.time);
        said << QStringLiteral("%1 %2 does not exist in %3, so the job was stored with %4.")
                    .arg(MonthName(a.missingMonth))
                    .arg(a.missingDay)
                    .arg(a.missingYear)
                    .arg(LongDate(stored.year, stored.month, stored.day));
    }
    return said.join(' ');
}

namespace {
MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}
}  // namespace

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

void ShowMessage(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox::information(parent, QStringLiteral("Zarkell'40"), text, QMessageBox::Ok);
}

}  // namespace zk40::dialogs

namespace zk40::dialogs {

void OpenHelp(QWidget* parent, const char* topic) {
    QString file = QString::fromStdString(AppPaths::FromEnvironment().helpDir) +
                   QString::fromUtf8(topic) + QStringLiteral(".html");
    if (!QFileInfo::exists(file) || !QDesktopServices::openUrl(QUrl::fromLocalFile(file)))
        ShowMessage(
            parent,
            QStringLiteral("No help is installed for this dialog (looked for %1).").arg(file));
}

}  // namespace zk40::dialogs
