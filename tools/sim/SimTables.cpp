// The simulator's area table and the names of its faults.
#include "SimCore.h"

namespace veskorsim {

namespace {

const QVector<AreaInfo> kAreas = {
    {"ID1x", 0x20009700u},  {"ID2x", 0x10009200u},  {"ID3x", 0x40018000u},
    {"ID4x", 0x30008200u},  {"ID5x", 0x10008800u},  {"ID6x", 0x10008200u},
    {"ID7x", 0x30009700u},  {"ID8x", 0x50008200u},  {"ID9x", 0x40008200u},
    {"ID10x", 0xC0008200u}, {"ID11x", 0xA0008200u}, {"ID12x", 0x50008800u},
    {"ID13x", 0xA0009700u}, {"ID14x", 0xD0008200u}, {"ID15x", 0xE0008200u},
    {"ID16x", 0xD1008200u}, {"ID17x", 0xE1008200u}, {"ID18x", 0xD2008200u},
    {"ID19x", 0xE2008200u}, {"ID20x", 0xD3008200u}, {"ID21x", 0xE3008200u},
    {"ID22x", 0xD4008200u}, {"ID23x", 0xE4008200u},
};

} // namespace

int areaIndex(quint32 code)
{
    for (int i = 0; i < kAreas.size(); ++i)
        if (kAreas[i].code == code)
            return i;
    return -1;
}

const QVector<AreaInfo> &areaTable()
{
    return kAreas;
}

quint32 areaCodeOf(const QString &name)
{
    for (const AreaInfo &a : kAreas)
        if (name.compare(QLatin1String(a.name), Qt::CaseInsensitive) == 0)
            return a.code;
    return 0;
}

QString areaNameOf(quint32 code)
{
    const int i = areaIndex(code);
    return i < 0 ? QString() : QString::fromLatin1(kAreas[i].name);
}

QString faultName(Fault f)
{
    switch (f) {
    case Fault::None: return QStringLiteral("None");
    case Fault::Drop: return QStringLiteral("Drop");
    case Fault::Delay: return QStringLiteral("Delay");
    case Fault::Duplicate: return QStringLiteral("Duplicate");
    case Fault::Truncate: return QStringLiteral("Truncate");
    case Fault::CorruptMagic: return QStringLiteral("CorruptMagic");
    case Fault::CorruptEcho: return QStringLiteral("CorruptEcho");
    case Fault::ForeignPort: return QStringLiteral("ForeignPort");
    }
    return QString();
}

bool faultFromName(const QString &name, Fault *out)
{
    QString key = name.toLower();
    key.remove(QLatin1Char('-'));
    key.remove(QLatin1Char('_'));
    const Fault all[] = {Fault::None,     Fault::Drop,         Fault::Delay,
                         Fault::Duplicate, Fault::Truncate,    Fault::CorruptMagic,
                         Fault::CorruptEcho, Fault::ForeignPort};
    for (Fault f : all) {
        if (faultName(f).toLower() == key) {
            if (out)
                *out = f;
            return true;
        }
    }
    return false;
}

} // namespace veskorsim
