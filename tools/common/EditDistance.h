// Both tools name the option a person meant when they mistype one: how far
// one name is from another, in one place.
#ifndef VESKOR_TOOLS_EDITDISTANCE_H
#define VESKOR_TOOLS_EDITDISTANCE_H

#include <QString>
#include <QVector>

namespace veskortools {

// How many one-character edits (insert, delete, replace, swap of two
// neighbours) turn a into b, letter case aside.
inline int editDistance(const QString &a, const QString &b)
{
    const QString s = a.toLower(), t = b.toLower();
    QVector<QVector<int>> d(s.size() + 1, QVector<int>(t.size() + 1));
    for (int i = 0; i <= s.size(); ++i)
        d[i][0] = i;
    for (int j = 0; j <= t.size(); ++j)
        d[0][j] = j;
    for (int i = 1; i <= s.size(); ++i) {
        for (int j = 1; j <= t.size(); ++j) {
            d[i][j] = qMin(qMin(d[i - 1][j], d[i][j - 1]) + 1, d[i - 1][j - 1] + (s[i - 1] != t[j - 1]));
            if (i > 1 && j > 1 && s[i - 1] == t[j - 2] && s[i - 2] == t[j - 1])
                d[i][j] = qMin(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[s.size()][t.size()];
}

} // namespace veskortools

#endif
