// Checks a release's bill of materials with CycloneDX's own library: valid
// CycloneDX 1.6 by the schema; every purl and licence expression well formed
// by the purl and SPDX parsers that library uses; the components exactly the
// packages, with the versions, that THIRD-PARTY-NOTICES.txt names, each a
// dependency of zarvel-uri; and the image's hash BUILDINFO's Image-SHA256.
//   NODE_PATH=tools/npm/node_modules node check-sbom.js SBOM BUILDINFO NOTICES
// Prints what it found; exits 1 when anything does not hold.
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');
const { PackageURL } = require('packageurl-js');
const parseSpdx = require('spdx-expression-parse');

async function problemsOf(sbomFile, buildinfoFile, noticesFile) {
  const text = fs.readFileSync(sbomFile, 'utf8');
  const problems = [];
  const validator = new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6);
  const invalid = await validator.validate(text);
  if (invalid !== null) problems.push(`not valid CycloneDX 1.6: ${JSON.stringify(invalid)}`);
  const bom = JSON.parse(text);
  const components = bom.components || [];

  for (const c of components) {
    try {
      const purl = PackageURL.fromString(c.purl);
      const { type, namespace, name, version, qualifiers } = purl;
      if (`${type}/${namespace}/${name}@${version}` !== `deb/debian/${c.name}@${c.version}` ||
          !qualifiers || !qualifiers.arch || qualifiers.distro !== 'debian-12') {
        problems.push(`${c.purl} is not the Debian 12 package ${c.name} ${c.version}`);
      }
      // Implementations differ on '+'; written as %2B it reads the same in all.
      if (c.purl.includes('+')) problems.push(`${c.purl} holds a + not written as %2B`);
    } catch (error) {
      problems.push(`${c.name}: purl ${c.purl}: ${error.message}`);
    }
    for (const licence of c.licenses || []) {
      try {
        parseSpdx(licence.expression);
      } catch (error) {
        problems.push(`${c.name}: licence ${licence.expression}: ${error.message}`);
      }
    }
  }

  // "Package: name" and "Version: x" stand together in the notices.
  const notices = fs.readFileSync(noticesFile, 'utf8');
  const noticed = [...notices.matchAll(/^Package: (.+)\nVersion: (.+)$/gm)]
    .map((m) => `${m[1]} ${m[2]}`).sort();
  const listed = components.map((c) => `${c.name} ${c.version}`).sort();
  if (noticed.length === 0) problems.push(`${noticesFile} names no package`);
  if (JSON.stringify(listed) !== JSON.stringify(noticed)) {
    problems.push(`components ${listed.join(', ')}; the notices name ${noticed.join(', ')}`);
  }
  const root = (bom.dependencies || []).find((d) => d.ref === 'zarvel-uri');
  const refs = components.map((c) => c['bom-ref']).sort();
  if (!root || JSON.stringify([...root.dependsOn].sort()) !== JSON.stringify(refs)) {
    problems.push('zarvel-uri does not depend on exactly its components');
  }

  const recorded = /^Image-SHA256: (.*)$/m.exec(fs.readFileSync(buildinfoFile, 'utf8'));
  const hashes = (bom.metadata && bom.metadata.component && bom.metadata.component.hashes) || [];
  const image = hashes.find((h) => h.alg === 'SHA-256');
  if (!recorded || !image || image.content !== recorded[1]) {
    const named = image && image.content;
    problems.push(`image SHA-256 ${named}; BUILDINFO has ${recorded && recorded[1]}`);
  }
  if (problems.length === 0) {
    console.log(`valid CycloneDX 1.6; components ${listed.join(', ')}; image ${image.content}`);
  }
  return problems;
}

problemsOf(...process.argv.slice(2, 5)).then(
  (problems) => {
    for (const problem of problems) console.log(`FAILED: ${problem}`);
    process.exitCode = problems.length === 0 ? 0 : 1;
  },
  (error) => {
    console.log(`FAILED: ${error.stack}`);
    process.exitCode = 1;
  });
