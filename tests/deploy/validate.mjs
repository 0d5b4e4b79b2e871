// Checks deploy/kubernetes against the Kubernetes API schemas that
// kubernetes-models carries (and its subfolders' resources of the Prometheus
// Operator against @kubernetes-models/prometheus-operator, the operator's
// published CRD schemas), then checks that the same checks refuse copies
// with a deliberate mistake.
//
//   node validate.mjs MANIFEST_FOLDER VERSION
//
// kubernetes-models' validate() checks types and required fields but lets
// unknown fields through (its schemas leave additionalProperties open: a
// misspelt `limit:` for `limits:` passes). So each field is also probed: its
// value is swapped for one no schema accepts (a function), and validate() must
// then report an error at that field's path. A field the schemas do not
// constrain there is one they do not know.
import { readFileSync, readdirSync } from "node:fs";
import { join, relative } from "node:path";
import { parseAllDocuments } from "yaml";

async function modelFor(doc) {
  if (typeof doc?.apiVersion !== "string" || typeof doc?.kind !== "string") {
    throw new Error("a document without apiVersion and kind");
  }
  // Core kinds live under v1/, the others under GROUP/VERSION/; the
  // operator's kinds in a package of their own, laid out the same way.
  const models = doc.apiVersion.startsWith("monitoring.coreos.com/")
    ? "@kubernetes-models/prometheus-operator"
    : "kubernetes-models";
  const module = await import(`${models}/${doc.apiVersion}/${doc.kind}`).catch(() => null);
  if (!module) throw new Error(`no schema for ${doc.apiVersion} ${doc.kind}`);
  return module[doc.kind];
}

function errorsOf(Model, doc) {
  try {
    new Model(doc).validate();
    return [];
  } catch (error) {
    if (!error.errors) throw error;
    return error.errors;
  }
}

const pointer = (path) => path.map((key) => "/" + String(key).replace(/~/g, "~0").replace(/\//g, "~1")).join("");

// Every path to an object's field, depth first.
function* fieldPaths(node, path = []) {
  if (Array.isArray(node)) {
    for (let i = 0; i < node.length; i++) yield* fieldPaths(node[i], [...path, i]);
  } else if (node !== null && typeof node === "object") {
    for (const key of Object.keys(node)) {
      yield [...path, key];
      yield* fieldPaths(node[key], [...path, key]);
    }
  }
}

function unknownFields(Model, doc) {
  const unknown = [];
  for (const path of fieldPaths(doc)) {
    const probe = structuredClone(doc);
    let parent = probe;
    for (const key of path.slice(0, -1)) parent = parent[key];
    parent[path[path.length - 1]] = () => {};
    const at = pointer(path);
    if (!errorsOf(Model, probe).some((e) => e.instancePath === at)) unknown.push(at);
  }
  return unknown;
}

// The problems of one document: schema errors, unknown fields, an image that
// is not this version's.
async function problemsOf(doc, version) {
  const Model = await modelFor(doc);
  const problems = errorsOf(Model, doc).map((e) => `${e.instancePath || "/"} ${e.message}`);
  if (problems.length) return problems;
  problems.push(...unknownFields(Model, doc).map((at) => `${at} is not a field the API knows`));
  for (const path of fieldPaths(doc)) {
    let value = doc;
    for (const key of path) value = value[key];
    if (path[path.length - 1] === "image" && typeof value === "string" && !value.endsWith(`:${version}`)) {
      problems.push(`${pointer(path)} is ${value}, not version ${version}`);
    }
  }
  return problems;
}

function documentsOf(file) {
  return parseAllDocuments(readFileSync(file, "utf8")).map((d) => {
    if (d.errors.length) throw new Error(`${file}: ${d.errors[0].message}`);
    return d.toJS();
  });
}

// Deliberate mistakes, each made in a copy of the Job at run time.
const mistakes = [
  ["a misspelt field (limit for limits)", (job) => {
    const resources = job.spec.template.spec.containers[0].resources;
    resources.limit = resources.limits;
    delete resources.limits;
  }],
  ["a field in the wrong place (grace period on the container)", (job) => {
    const pod = job.spec.template.spec;
    pod.containers[0].terminationGracePeriodSeconds = pod.terminationGracePeriodSeconds;
    delete pod.terminationGracePeriodSeconds;
  }],
  ["a wrong type (grace period as a text)", (job) => {
    job.spec.template.spec.terminationGracePeriodSeconds = "30s";
  }],
  ["a required field missing (the container's name)", (job) => {
    delete job.spec.template.spec.containers[0].name;
  }],
];

const [folder, version] = process.argv.slice(2);
if (!folder || !version) {
  console.error("usage: node validate.mjs MANIFEST_FOLDER VERSION");
  process.exit(2);
}
let passed = 0;
let failed = 0;
const report = (ok, text) => {
  console.log(`${ok ? "ok  " : "FAIL"} ${text}`);
  ok ? passed++ : failed++;
};

// Every manifest, subfolders included (prometheus-operator/).
const files = readdirSync(folder, { recursive: true })
  .filter((f) => f.endsWith(".yaml"))
  .map((f) => relative(folder, join(folder, f)))
  .sort();
report(files.length > 0, `manifests found in ${folder}: ${files.join(", ")}`);
let job = null;
let podMonitor = null;
for (const file of files) {
  for (const doc of documentsOf(join(folder, file))) {
    const problems = await problemsOf(doc, version);
    report(problems.length === 0, `${file}: ${doc.kind} ${doc.metadata?.name}${problems.map((p) => "\n     " + p).join("")}`);
    if (doc.kind === "Job") job = doc;
    if (doc.kind === "PodMonitor") podMonitor = doc;
  }
}
report(job !== null, "a Job to make mistakes in");
for (const [what, make] of job ? mistakes : []) {
  const broken = structuredClone(job);
  make(broken);
  const problems = await problemsOf(broken, version);
  report(problems.length > 0, `the Job with ${what} is refused${problems.length ? ": " + problems[0] : ""}`);
}
// The operator's schema is checked as closely: a misspelt field and a wrong
// type in the PodMonitor are refused too.
report(podMonitor !== null, "a PodMonitor to make mistakes in");
const podMonitorMistakes = [
  ["a misspelt field (podMetricEndpoints)", (monitor) => {
    monitor.spec.podMetricEndpoints = monitor.spec.podMetricsEndpoints;
    delete monitor.spec.podMetricsEndpoints;
  }],
  ["a wrong type (the endpoints as one object)", (monitor) => {
    monitor.spec.podMetricsEndpoints = monitor.spec.podMetricsEndpoints[0];
  }],
];
for (const [what, make] of podMonitor ? podMonitorMistakes : []) {
  const broken = structuredClone(podMonitor);
  make(broken);
  const problems = await problemsOf(broken, version);
  report(problems.length > 0, `the PodMonitor with ${what} is refused${problems.length ? ": " + problems[0] : ""}`);
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
