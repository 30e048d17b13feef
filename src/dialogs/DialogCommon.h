#pragma once
// What the editing dialogs share: control ids as object names, the hour and
// minute lists of the schedule pages, the leading-number rule for typed
// texts, dates in the user's locale, and the one way a dialog shows a
// message (which tests answer in advance).
#include <QComboBox>
#include <QString>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "jobs/ScheduleInput.h"
#include "support/StoreTime.h"

namespace zk40::dialogs {

// Every control that has a numeric id gets it as its object name, so tests
// and the help texts can find it. One table per dialog feeds this.
struct ControlId {
    int id;
    QWidget* widget;
};
void SetControlIds(std::initializer_list<ControlId> table);
// The control of id inside root, or nullptr.
QWidget* Control(const QWidget* root, int id);
template <typename T>
T* ControlAs(const QWidget* root, int id) {
    return qobject_cast<T*>(Control(root, id));
}

// Leading decimal digits of a text (after blanks and an optional sign), 0
// when there are none: what a typed number means.
long LeadingInt(const QString& text);

// Hour lists. In a locale that writes times with AM and PM the texts are
// "12 AM", "1 AM", ... "11 PM" (stop hours "12:59 AM" ... "11:59 PM");
// elsewhere "00:00" ... "23:00" ("00:59" ... "23:59"). Each entry carries its
// hour as item data, so reading never depends on the text.
bool LocaleUses12Hour();
QString HourText(int hour);
QString StopHourText(int hour);
void FillHours(QComboBox* box, int selectedHour, bool stopHours = false);
// The selected hour; 0 when nothing is selected.
int SelectedHour(const QComboBox* box);
// The typed or chosen hour text read back: leading number modulo 12, plus 12
// when the text ends in "PM" (two places before the end is a "P").
int ReadHourText(const QString& text);

// Minute lists: "00", "15", "30", "45", plus the stored minute when it is
// none of them. sorted puts that extra entry in its place.
void FillMinutes(QComboBox* box, int selectedMinute, bool sorted);

// Month names (January first) and weekday names (Monday first) of the
// user's locale.
QString MonthName(int month);
QString WeekdayName(int weekday);  // 1 = Monday ... 7 = Sunday
// A date as the user's locale writes it in full ("Tuesday, 3 March 2026").
QString LongDate(int year, int month, int day);

// The time of day as the hour lists show it: "2:05 PM" in a 12-hour locale,
// "14:05" elsewhere.
QString ClockText(int hour, int minute);

// What AnchorOfChoice changed of a chosen date, in the user's words (the
// year it took, the date it stored instead of one that does not exist);
// empty when the date was stored as chosen.
QString AnchorNote(const ScheduleAnchor& anchor);

// Messages of the dialogs, captioned "Zarkell'40" with an OK button. Tests
// install a hook that records the text instead of showing a box.
using MessageHook = std::function<void(const QString& text)>;
void SetMessageHook(MessageHook hook);
void ShowMessage(QWidget* parent, const QString& text);

// The Help button of a dialog: opens topic.html of the help folder in the
// desktop's browser, or says that no help is installed.
void OpenHelp(QWidget* parent, const char* topic);

}  // namespace zk40::dialogs
