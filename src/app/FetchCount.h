#pragma once

#include <QString>
#include <cstdint>

namespace klv {

// What the "Ophalen" page says about the transfer under way: the file, which of how many the
// run fetches, and the megabytes done of it.
class FetchCount
{
public:
    // A run that will fetch about `files` packages begins.
    void plan(int files);
    // The next package, `name`, is being fetched.
    void next(const QString &name);
    // The current file is fetched once more in another form (its whole package after its patch
    // failed): it keeps its number.
    void again() { FCurrent = FCurrent > 0 ? FCurrent - 1 : 0; }
    // The run ended: the gauge shows its plain percentage again.
    void clear();

    // The gauge's text for `done` of `total` bytes of the current file (total 0 or less: not
    // known); Qt's %p stands for the percentage.
    QString gaugeText(int64_t done, int64_t total) const;

private:
    int FPlanned = 0;
    int FCurrent = 0;
    QString FName;
};

} // namespace klv
