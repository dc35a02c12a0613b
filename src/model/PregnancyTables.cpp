#include "model/PregnancyTables.h"

#include "operators/OrvoSimOperators.h"

namespace pregnancy {

const double kClfUimTDefault[kTableSize] = {
    0.0633, 0.0787, 0.0952, 0.131, 0.17, 0.211, 0.253, 0.2955,  // values
    50, 75, 100, 150, 200, 250, 300, 350,                        // breakpoints
};

const double kKdegt3fMiTDefault[kTableSize] = {
    0.00099, 0.00126, 0.001425, 0.0016, 0.00167, 0.001705, 0.00172, 0.001725,
    50, 75, 100, 150, 200, 250, 300, 350,
};

double clf_uim_t_table(double x) { return zztable(clf_uim_t, 1, kTablePoints, 0, 0, x, 0.0, 0.0); }

double kdegt3f_mi_t_table(double x) {
    return zztable(kdegt3f_mi_t, 1, kTablePoints, 0, 0, x, 0.0, 0.0);
}

}  // namespace pregnancy
