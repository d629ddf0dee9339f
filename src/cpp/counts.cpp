// The writers' counts, for kelm_sdk.redis.metrics. They reach Python through
// the package's own module kelm_sdk.redis._counts, filled in at load, so
// that Stashel and this module's namespace keep exactly their surface.
#include "counts.hpp"

#include <new>

#include "pycall.hpp"
#include "records.hpp"

namespace stashel {

namespace {

void put(Borrowed dict, const char* name, unsigned long long value) {
    check(PyDict_SetItemString(dict.get(), name, Owned::steal(PyLong_FromUnsignedLongLong(value)).get()));
}

Owned frame_counts(const FrameCounts& counts, unsigned long long pending, unsigned long long publish_failed) {
    Owned dict = Owned::steal(PyDict_New());
    put(dict, "accepted", counts.accepted);
    put(dict, "stored", counts.stored);
    put(dict, "refused", counts.refused);
    put(dict, "failed", counts.failed);
    put(dict, "superseded", counts.superseded);
    put(dict, "withdrawn", counts.withdrawn);
    put(dict, "discarded", counts.discarded);
    put(dict, "pending", pending);
    put(dict, "publish_failed", publish_failed);
    return dict;
}

// writer_counts(instance): its counts, and under "waits" the seconds each of
// the last frames taken waited (oldest first). Zeros for an instance
// without a record (direct mode, nothing ever counted).
Owned writer_counts(Borrowed instance) {
    RecordRef record = find_record(instance);
    if (!record) {
        Owned dict = frame_counts(FrameCounts{}, 0, 0);
        check(PyDict_SetItemString(dict.get(), "waits", Owned::steal(PyList_New(0)).get()));
        return dict;
    }
    // One snapshot, taken before any allocation below can run Python code
    // (a collection's finalizer may write frames).
    const Pending& pending = record->pending;
    const FrameCounts counts = pending.counts();
    const unsigned long long waiting = pending.pending();
    const unsigned long long publish_failed = record->publish_failed;
    const std::vector<double> waits = pending.waits();
    Owned dict = frame_counts(counts, waiting, publish_failed);
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(waits.size())));
    for (std::size_t i = 0; i < waits.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Owned::steal(PyFloat_FromDouble(waits[i])).release());
    }
    check(PyDict_SetItemString(dict.get(), "waits", list.get()));
    return dict;
}

Owned all_counts() {
    const ProcessCounts counts = process_counts();
    return frame_counts(counts.frames, counts.pending, counts.publish_failed);
}

template <class Body>
PyObject* boundary(Body body) {
    try {
        return body().release();
    } catch (PyErrSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* writer_counts_entry(PyObject*, PyObject* instance) {
    return boundary([&] { return writer_counts(instance); });
}

PyObject* process_counts_entry(PyObject*, PyObject*) {
    return boundary([] { return all_counts(); });
}

PyMethodDef kCountFunctions[] = {
    {"writer_counts", writer_counts_entry, METH_O, "writer_counts(store): one instance's counts."},
    {"process_counts", process_counts_entry, METH_NOARGS, "process_counts(): every instance's, summed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void hand_over_counts(Borrowed module) {
    Owned counts = Owned::steal(PyImport_ImportModule("kelm_sdk.redis._counts"));
    for (PyMethodDef* def = kCountFunctions; def->ml_name != nullptr; ++def) {
        Owned function = Owned::steal(PyCFunction_New(def, module.get()));
        check(PyObject_SetAttrString(counts.get(), def->ml_name, function.get()));
    }
}

}  // namespace stashel
