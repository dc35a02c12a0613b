#pragma once

// The model's two function tables of the daily iodide dose (ug/day).

#include "model/PregnancyModelStorage.h"

namespace pregnancy {

// Initial contents of the table arrays: 8 values, then 8 ascending breakpoints.
extern const double kClfUimTDefault[kTableSize];
extern const double kKdegt3fMiTDefault[kTableSize];

// Urinary iodide clearance factor over clf_uim_t.
double clf_uim_t_table(double x);
// Maternal T3 degradation factor over kdegt3f_mi_t.
double kdegt3f_mi_t_table(double x);

}  // namespace pregnancy
