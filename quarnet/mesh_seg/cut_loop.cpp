// The one loop of every cut (tessaron.hpp): skip or cut each object in turn,
// remain.ply last, and the record of what became of each object.
//
// The record's face ids are the faces' ids in the scene mesh as read. The
// loop keeps the scene id of every face of the working mesh, in its order:
// the cut keeps the remainder's faces in ascending order of their ids in the
// mesh it cut (np.setdiff1d), so they stay in ascending scene order, and the
// faces of working ids leave by their rank.
#include <algorithm>
#include <numeric>
#include <vector>

#include "arrays.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

class WorkingFaces {
 public:
  explicit WorkingFaces(std::size_t count) : ids_(count) { std::iota(ids_.begin(), ids_.end(), std::int64_t{0}); }

  // The faces of working ids `taken` (any order, repeats allowed) leave the
  // working mesh, whose remainder is `remainder`; their scene ids, or None
  // from here on when the ids are no working ids or the remainder is not the
  // size they leave.
  py::object take(const qh::Namespace& ns, const py::object& taken, const py::object& remainder) {
    std::vector<std::uint8_t> leaves(ids_.size(), 0);
    try {
      const qh::I64Array listed = qh::i64_array(ns.np(), taken);
      for (py::ssize_t i = 0; i < listed.size(); ++i) {
        const std::int64_t id = listed.data()[i];
        if (id < 0 || static_cast<std::size_t>(id) >= ids_.size()) {
          known_ = false;
          break;
        }
        leaves[static_cast<std::size_t>(id)] = 1;
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      known_ = false;
    }
    std::vector<std::int64_t> out, kept;
    kept.reserve(ids_.size());
    for (std::size_t r = 0; r < ids_.size(); ++r) (leaves[r] ? out : kept).push_back(ids_[r]);
    ids_.swap(kept);
    const std::size_t left = remainder.is_none() ? 0 : py::len(remainder.attr("faces"));
    if (left != ids_.size()) known_ = false;
    return ids(out);
  }

  std::span<const std::int64_t> scene_ids() const { return ids_; }
  py::object remaining() const { return ids(ids_); }

 private:
  py::object ids(const std::vector<std::int64_t>& scene_ids) const {
    return known_ ? py::object(qh::to_array(scene_ids)) : py::object(py::none());
  }

  std::vector<std::int64_t> ids_;
  bool known_ = true;
};

// The record's entries (tessaron.hpp); nothing without a record.
class Record {
 public:
  explicit Record(py::object record) : record_(std::move(record)) {}
  bool on() const { return !record_.is_none(); }

  void cut(const ObjectFiles& files, const py::object& sub_mesh, const py::object& ids) const {
    if (!on()) return;
    py::dict e = entry(files, "cut");
    e["faces"] = py::len(sub_mesh.attr("faces"));
    e["ids"] = ids;
    record_.attr("append")(e);
  }
  void skipped(const ObjectFiles& files, const py::object& ids, const std::optional<std::size_t>& misplaced) const {
    if (!on()) return;
    py::dict e = entry(files, "skipped");
    e["faces"] = ids.is_none() ? py::object(py::none()) : py::object(py::int_(py::len(ids)));
    e["ids"] = ids;
    e["misplaced"] = misplaced ? py::object(py::int_(*misplaced)) : py::object(py::none());
    record_.attr("append")(e);
  }
  void not_cut(const ObjectFiles& files, const py::object& reason) const {
    if (!on()) return;
    py::dict e = entry(files, "not cut");
    e["reason"] = reason;
    record_.attr("append")(e);
  }
  void remain(const py::object& path, const py::object& ids, std::size_t mesh_faces) const {
    if (!on()) return;
    py::dict e;
    e["name"] = py::none();
    e["status"] = "remain";
    e["faces"] = ids.is_none() ? py::object(py::none()) : py::object(py::int_(py::len(ids)));
    e["ids"] = ids;
    e["mesh_faces"] = mesh_faces;
    e["path"] = path;
    record_.attr("append")(e);
  }

 private:
  static py::dict entry(const ObjectFiles& files, const char* status) {
    py::dict e;
    e["name"] = files.name;
    e["status"] = status;
    e["sub_mesh"] = files.sub_mesh;
    e["sub_pcd"] = files.sub_pcd;
    return e;
  }
  py::object record_;
};

bool has_ids(const py::object& ids) { return !ids.is_none() && py::len(ids) > 0; }

}  // namespace

void cut_objects(const qh::Namespace& ns, const py::object& mask_path, py::object mesh, CutMode& mode,
                 const py::object& record, SceneMesh& scene) {
  const Record rec(record);
  const std::size_t mesh_faces = py::len(mesh.attr("faces"));
  WorkingFaces faces(mesh_faces);
  py::object working = std::move(mesh);

  for (std::size_t k = 0; k < mode.count(); ++k) {
    mode.visit(k);
    const ObjectFiles files = object_files(ns, mask_path, mode.subdir(k));

    if (finished(ns, files)) {
      const FinishedFaces done = mode.finished(k, {working, faces.scene_ids()}, files, rec.on() ? &scene : nullptr);
      py::object taken = qh::to_array(std::vector<std::int64_t>{});
      if (has_ids(done.ids)) {
        py::object remainder = qh::unpack(ns["save_nearby_faces_as_ply"](working, done.ids), 2)[1];
        taken = faces.take(ns, done.ids, remainder);
        working = remainder;
      }
      rec.skipped(files, taken, done.misplaced);
      continue;
    }

    py::object reason = py::none();
    py::object ids = mode.choose(k, {working, faces.scene_ids()}, files, reason);
    if (ids.is_none()) {
      rec.not_cut(files, reason);
      continue;
    }
    const auto parts = qh::unpack(ns["save_nearby_faces_as_ply"](working, ids), 2);
    const py::object &sub_mesh = parts[0], &remain_mesh = parts[1];
    if (sub_mesh.is_none()) {  // nothing to write; the working mesh stays as it is
      rec.not_cut(files, reason);
      continue;
    }
    py::object taken = faces.take(ns, ids, remain_mesh);
    write_object(ns, sub_mesh, mode.cloud(k), files);
    working = remain_mesh;
    rec.cut(files, sub_mesh, taken);
    mode.written(k, files, ids);
  }
  py::object path = write_remain(ns, mask_path, working);
  rec.remain(path, faces.remaining(), mesh_faces);
}

namespace {

// The working ids of the faces `owner` gives to object k, in order.
py::object owned_by(const Working& working, std::span<const std::int32_t> owner, std::int32_t k) {
  std::vector<std::int64_t> ranks;
  for (std::size_t r = 0; r < working.scene_ids.size(); ++r) {
    if (owner[static_cast<std::size_t>(working.scene_ids[r])] == k) ranks.push_back(static_cast<std::int64_t>(r));
  }
  return qh::to_array(ranks);
}

class OwnerCut : public CutMode {
 public:
  OwnerCut(const qh::Namespace& ns, const py::list& clouds, const py::list& subdirs, std::span<const std::int32_t> owner,
           const NoFaces& nothing)
      : ns_(ns), clouds_(clouds), subdirs_(subdirs), owner_(owner), nothing_(nothing) {}

  std::size_t count() const override { return py::len(subdirs_); }
  py::object subdir(std::size_t k) const override { return subdirs_[k]; }
  py::object cloud(std::size_t k) const override { return clouds_[k]; }

  FinishedFaces finished(std::size_t k, const Working& working, const ObjectFiles& files, SceneMesh* check) override {
    FinishedFaces done{owned_by(working, owner_, static_cast<std::int32_t>(k)), std::nullopt};
    if (check) done.misplaced = misplaced_faces(ns_, working.mesh, files.sub_mesh, done.ids, *check);
    return done;
  }
  py::object choose(std::size_t k, const Working& working, const ObjectFiles& files, py::object& reason) override {
    py::object ids = owned_by(working, owner_, static_cast<std::int32_t>(k));
    if (py::len(ids) > 0) return ids;
    reason = nothing_(k, files);
    return py::none();
  }
  void written(std::size_t, const ObjectFiles& files, const py::object& ids) override {
    ns_.print(qh::cat(files.name, ": ", py::len(ids), " faces, written to ", files.sub_mesh));
  }

 private:
  const qh::Namespace& ns_;
  py::list clouds_, subdirs_;
  std::span<const std::int32_t> owner_;
  const NoFaces& nothing_;
};

}  // namespace

py::object begin_run_record(const qh::Namespace& ns, const py::object& scene, const char* mode, const py::dict& options) {
  py::object run_record = ns["run_record"];
  py::object parameters =
      run_record.attr("parameters")(mode, scene.attr("mesh_file"), scene.attr("sfm_path"), **options);
  return run_record.attr("begin")(scene.attr("mask_path"), parameters);
}

void cut_by_owner(const qh::Namespace& ns, const py::object& mask_path, const py::object& mesh, const py::list& clouds,
                  const py::list& subdirs, std::span<const std::int32_t> owner, const NoFaces& nothing,
                  const py::object& record) {
  if (owner.size() != py::len(mesh.attr("faces")))
    qh::raise(PyExc_ValueError, qh::cat("an owner per face: ", owner.size(), " owners for ", py::len(mesh.attr("faces")), " faces"));
  OwnerCut mode(ns, clouds, subdirs, owner, nothing);
  SceneMesh scene(ns, py::none(), mesh);
  cut_objects(ns, mask_path, mesh, mode, record, scene);
}

}  // namespace tessaron
