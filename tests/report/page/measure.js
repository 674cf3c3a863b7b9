// Opens an HTML report in Debian's Chromium at each width given and prints,
// as one JSON line per width, what a reader would notice: the number of
// elements, whether the page or a chart is wider than the window, and every
// piece of chart text that is cut at a chart's edge or drawn over a mark, a
// line or other text.
//
//   node measure.js REPORT.html WIDTH...
//
// Every <details> is opened first, so folded content is measured too.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

async function measure(page, file, width) {
    await page.setViewport({width, height: 900});
    const started = Date.now();
    await page.goto('file://' + path.resolve(file), {waitUntil: 'load', timeout: 120000});
    const loadMs = Date.now() - started;
    const elements = await page.evaluate(() => document.getElementsByTagName('*').length);
    return Object.assign({width, loadMs, elements}, await page.evaluate(() => {
        for (const d of document.querySelectorAll('details'))
            d.open = true;
        const out = {
            scrollWidth: document.documentElement.scrollWidth,
            innerWidth: window.innerWidth,
            charts: 0,
            wide: [],
            cut: [],
            overlaps: [],
        };
        // Boxes touching at an edge, or by less than this, do not overlap.
        const slack = 0.5;
        const meets = (a, b) => a.left < b.right - slack && b.left < a.right - slack &&
                                a.top < b.bottom - slack && b.top < a.bottom - slack;
        // A horizontal or vertical line has an empty box: give it its stroke.
        const markBox = (e) => {
            const r = e.getBoundingClientRect();
            const w = parseFloat(e.getAttribute('stroke-width') || '0') / 2;
            return {left: r.left - w, right: r.right + w, top: r.top - w, bottom: r.bottom + w};
        };
        const name = (svg) => (svg.querySelector('title') || {}).textContent || '(untitled chart)';
        for (const svg of document.querySelectorAll('svg')) {
            ++out.charts;
            const frame = svg.getBoundingClientRect();
            if (frame.right > window.innerWidth + slack || frame.left < -slack)
                out.wide.push(name(svg));
            const texts = [...svg.querySelectorAll('text')].filter((t) => t.textContent.trim() !== '')
                .map((t) => ({text: t.textContent, box: t.getBoundingClientRect()}));
            // Grid lines and the background are meant to lie under text.
            const marks = [...svg.querySelectorAll('rect, line, circle, polyline, path, polygon')]
                .filter((e) => !e.classList.contains('grid') && !e.classList.contains('bg'))
                .map((e) => ({tag: e.tagName, box: markBox(e)}));
            for (let i = 0; i < texts.length; ++i) {
                const a = texts[i];
                if (a.box.left < frame.left - slack || a.box.right > frame.right + slack ||
                    a.box.top < frame.top - slack || a.box.bottom > frame.bottom + slack)
                    out.cut.push({chart: name(svg), text: a.text});
                for (let k = i + 1; k < texts.length; ++k)
                    if (meets(a.box, texts[k].box))
                        out.overlaps.push({chart: name(svg), text: a.text, over: texts[k].text});
                for (const m of marks)
                    if (meets(a.box, m.box))
                        out.overlaps.push({chart: name(svg), text: a.text, over: m.tag});
            }
        }
        return out;
    }));
}

async function main() {
    const [file, ...widths] = process.argv.slice(2);
    if (!file || widths.length === 0) {
        console.error('usage: node measure.js REPORT.html WIDTH...');
        process.exit(2);
    }
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'page-profile-'));
    const browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
        headless: true,
        userDataDir: profile,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    try {
        const page = await browser.newPage();
        for (const w of widths)
            console.log(JSON.stringify(await measure(page, file, parseInt(w, 10))));
    } finally {
        await browser.close();
        fs.rmSync(profile, {recursive: true, force: true});
    }
}

main().catch((e) => {
    console.error('measure.js: ' + (e && e.stack || e));
    process.exit(1);
});
