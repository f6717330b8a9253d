#ifndef PAIRMEND_PYTHON_STUDY_BINDING_HPP
#define PAIRMEND_PYTHON_STUDY_BINDING_HPP

#include <pybind11/pybind11.h>

/** Binds the pieces pairmend.dask shares with the programs into `module`: the evenly spread
 *  subsample positions of fit and the output transaction that puts files in place together. */
void bind_study(pybind11::module_& module);

#endif
