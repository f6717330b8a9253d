#ifndef PAIRMEND_PYTHON_FCS_APPLY_BINDING_HPP
#define PAIRMEND_PYTHON_FCS_APPLY_BINDING_HPP

#include <pybind11/pybind11.h>

/** Binds what pairmend.dask needs into `module`: BatchCorrector, the model as bytes, FCS batch
 *  plans and the correction of one FCS file as `pairmend-fcs apply` writes it. */
void bind_fcs_apply(pybind11::module_& module);

#endif
